// Writes a UvDescription as a UVH5 file (HDF5, through libhdf5): the same records as a uv
// data set of it, one row per time and baseline with every polarisation of the row.
#pragma once

#include "tools/sim/uvwriter.h"

#include <cstdint>
#include <string>

namespace kestrum::sim {

// Writes the file at `path`, which must not exist; `lzf` compresses visdata, flags and
// nsamples with the LZF filter as most real files are. Calls the description's callbacks in
// the order writeUv does, with perRecord's handle 0. Returns the number of records (rows times
// polarisations). One spectral window only; anything libhdf5 refuses throws
// std::runtime_error.
int64_t writeUvh5(const std::string& path, const UvDescription& d, bool lzf = false);

}  // namespace kestrum::sim
