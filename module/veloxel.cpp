// The veloxel extension module: one function, load_pcd, bound straight to the loader.
#include <pybind11/pybind11.h>

#include "pcd/loader.hpp"

namespace py = pybind11;

PYBIND11_MODULE(veloxel, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Fast PCD loading (ASCII, binary, binary_compressed)";
    m.def("load_pcd", &veloxel::load_pcd, py::arg("filename"),
          R"doc(
        Load a PCD file into NumPy arrays.

        Returns:
            points: np.ndarray of shape (N,3) with x,y,z
            fields: dict of other 1D NumPy arrays with arbitrary names/dtypes
    )doc");
}
