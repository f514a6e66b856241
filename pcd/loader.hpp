// load_pcd: a PCD file as NumPy arrays that view one point buffer owned by a capsule.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace veloxel {

// Loads `filename` and returns (points, fields): points is a float32 (N, 3) array of x, y, z, and
// fields maps the name of every other field to an array of its values, (N,) for one element per
// point and (N, count) otherwise. Every array views the point buffer (points is a converted copy
// when x, y, z are not adjacent float32 fields) and keeps it alive through its base capsule.
// Throws std::runtime_error for file and format errors, std::length_error and std::bad_alloc for
// point data that cannot be allocated, and pybind11::error_already_set for Python failures.
std::pair<pybind11::array, pybind11::dict> load_pcd(const std::string& filename);

// The NumPy element type of a PCD type letter and element size: F 4/8 float32/64, I 1/2/4/8
// int8..int64, U 1/2/4/8 uint8..uint64. Throws std::runtime_error("Unsupported PCD type/size")
// for any other pair.
pybind11::dtype dtype_for(char type, int32_t size);

}  // namespace veloxel
