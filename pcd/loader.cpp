#include "pcd/loader.hpp"

#include <memory>

#include "pcd/cloud.hpp"
#include "pcd/errors.hpp"

namespace py = pybind11;

namespace veloxel {
namespace {

void destroy_buffer(void* buffer) {
    delete static_cast<ZeroedBuffer*>(buffer);
}

}  // namespace

py::dtype dtype_for(char type, int32_t size) {
    using api = py::detail::npy_api;
    int typenum = -1;
    switch (type) {
        case 'F':
            if (size == 4) typenum = api::NPY_FLOAT_;
            if (size == 8) typenum = api::NPY_DOUBLE_;
            break;
        case 'I':
            if (size == 1) typenum = api::NPY_INT8_;
            if (size == 2) typenum = api::NPY_INT16_;
            if (size == 4) typenum = api::NPY_INT32_;
            if (size == 8) typenum = api::NPY_INT64_;
            break;
        case 'U':
            if (size == 1) typenum = api::NPY_UINT8_;
            if (size == 2) typenum = api::NPY_UINT16_;
            if (size == 4) typenum = api::NPY_UINT32_;
            if (size == 8) typenum = api::NPY_UINT64_;
            break;
        default:
            break;
    }
    if (typenum < 0) fail_unsupported_type();
    return py::dtype(typenum);
}

std::pair<py::array, py::dict> load_pcd(const std::string& filename) {
    PcdCloud cloud = read_pcd_file(filename);
    const PcdHeader& header = cloud.header;
    const auto n = static_cast<py::ssize_t>(header.points);
    // Strides only matter when there are records, and then the point size fits the buffer.
    const auto step = header.points > 0 ? static_cast<py::ssize_t>(header.point_step) : 0;
    const std::byte* const base_ptr = cloud.buffer.data();
    // An empty cloud has no bytes to point into: every array starts at the buffer itself.
    const auto at = [&](uint64_t offset) { return n > 0 ? base_ptr + offset : base_ptr; };

    auto owned = std::make_unique<ZeroedBuffer>(std::move(cloud.buffer));
    py::capsule base(owned.get(), destroy_buffer);
    owned.release();

    const PointsLayout layout = plan_points(header);
    py::array points;
    if (layout.view) {
        points = py::array(py::dtype::of<float>(), {n, py::ssize_t{3}}, {step, py::ssize_t{4}},
                           at(layout.xyz[0]->offset), base);
    } else {
        py::array_t<float> copy({n, py::ssize_t{3}});
        const auto* capsule_buffer = static_cast<const ZeroedBuffer*>(base.get_pointer());
        convert_xyz(header, layout, capsule_buffer->bytes(), copy.mutable_data());
        points = std::move(copy);
    }

    py::dict fields;
    for (const PcdField& field : header.fields) {
        if (field.name == "x" || field.name == "y" || field.name == "z") continue;
        py::dtype dtype = dtype_for(field.type, field.size);
        check_field_inside(field, header.point_step);
        py::array values;
        if (field.count == 1) {
            values = py::array(dtype, {n}, {step}, at(field.offset), base);
        } else {
            const py::ssize_t count = field.count < 0 ? 0 : field.count;
            values = py::array(dtype, {n, count}, {step, static_cast<py::ssize_t>(field.size)},
                               at(field.offset), base);
        }
        fields[py::str(field.name)] = std::move(values);
    }
    return {std::move(points), std::move(fields)};
}

}  // namespace veloxel
