// Reading UVH5 files with libhdf5: the "Header" arrays read whole and checked against the
// "Data" arrays, then visdata and flags read in blocks of rows (or mapped from the file where
// they lie there uncompressed, in one run, as they are in memory) and turned into records of
// the requested polarisation, selected or formed as for uv data sets.
#include "task/uvh5.h"

#include <fcntl.h>
#include <hdf5.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "dataset/bug.h"
#include "task/basant.h"
#include "task/uvdatint.h"

using namespace kestrum::uvdat;

namespace {

constexpr double kLight = 299792458.0;  // m/s
constexpr int kNoPol = -9;  // a product code outside -8 .. 6
constexpr int kMaxAnt = 2047 - UVH5_ANTSHIFT;  // largest antenna number a baseline number holds
// Visdata read at a time, as float pairs: small enough to stay in the cache while its records
// are taken out of it, unless whole chunks need more (up to kMaxBlockBytes).
constexpr size_t kBlockBytes = 1u << 20;
constexpr size_t kMaxBlockBytes = 64u << 20;
// Visdata mapped at a time when it is taken straight from the file: fewer, larger mappings
// cost less to set up and take down, but their pages count as the loader's while mapped.
constexpr size_t kMapBytes = 16u << 20;

// The filters real files use, with the Debian package that gives libhdf5 each of them.
struct KnownFilter {
    H5Z_filter_t id;
    const char* name;
    const char* package;
};
const KnownFilter kFilters[] = {{32000, "LZF", "hdf5-plugin-lzf"},
                                {32008, "bitshuffle", "bitshuffle"},
                                {32004, "LZ4", "hdf5-filter-plugin"},
                                {307, "bzip2", "hdf5-filter-plugin"}};

// An array of the file that lies there in one run, each element as it is in memory: its
// rows are mapped from the file instead of copied out of it.
struct Mapping {
    bool on = false;
    uint64_t offset = 0;  // of the array in the file
    void* base = nullptr;  // of the rows mapped now
    size_t bytes = 0;
};

struct File {
    std::string name;
    int fd = -1;  // the file, for mappings
    hid_t file = -1, visdata = -1, flags = -1;
    hid_t complexType = -1;  // float pairs {r, i} in memory
    hid_t flagType = -1;  // the flag bytes as stored

    int64_t nrows = 0;
    int nchan = 0, nprod = 0, nspect = 1, nants = 0;
    bool polFirst = false;  // visdata is (..., Npols, Nfreqs)
    int rank = 0;  // of visdata: 3 or 4 (with the spectral-window axis)
    int64_t blockRows = 1;
    int codes[kMaxPols] = {};

    std::vector<int> ant1, ant2;
    std::vector<double> time, inttime, lst, uvw;
    double freq0 = 0;  // Hz
    std::vector<int> phaseId;
    std::map<int, std::string> catalogue;
    std::string object;

    int request = 1;
    bool select = true;  // products delivered as they are, else formed
    std::vector<int64_t> order;  // rows in delivery order

    // The block of rows last read: order[blockFirst .. blockFirst + blockCount), at blockVis
    // (float pairs) and blockFlags, in the buffers or the mappings.
    int64_t blockFirst = 0, blockCount = 0;
    std::vector<float> vis;
    std::vector<uint8_t> flagBytes;
    Mapping visMap, flagMap;
    const unsigned char* blockVis = nullptr;
    const uint8_t* blockFlags = nullptr;

    int64_t pos = 0;  // position in `order` of the row being delivered
    int nextProd = 0;  // next product of that row to consider; Npols once the row is used
    std::vector<float> rowData[kMaxPols];
    std::vector<int> rowFlags[kMaxPols];

    int visno = 0, pol = 0;
    int64_t lastRow = -1;
};

File F;
bool isOpen = false;

std::string reasonText;

herr_t keepDeepest(unsigned n, const H5E_error2_t* e, void*)
{
    if (n == 0 && e->desc)
        reasonText = e->desc;
    return 0;
}

// The innermost message of libhdf5's error stack, which it no longer prints itself.
std::string hdf5Reason()
{
    reasonText.clear();
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, keepDeepest, nullptr);
    H5Eclear2(H5E_DEFAULT);
    return reasonText.empty() ? std::string() : " (" + reasonText + ")";
}

[[noreturn]] void fail(const std::string& problem)
{
    bug_c('f', ("UVH5 file " + F.name + ": " + problem).c_str());
    std::exit(1);  // not reached: fatal errors end the program
}

std::string shapeText(const std::vector<hsize_t>& dims)
{
    std::string s = "(";
    for (size_t i = 0; i < dims.size(); ++i)
        s += (i ? ", " : "") + std::to_string(dims[i]);
    return s + ")";
}

bool exists(hid_t loc, const char* path)
{
    return H5Lexists(loc, path, H5P_DEFAULT) > 0;
}

hid_t openDataset(const std::string& path, bool required = true)
{
    if (!exists(F.file, path.c_str())) {
        H5Eclear2(H5E_DEFAULT);
        if (required)
            fail(path + " is missing");
        return -1;
    }
    hid_t d = H5Dopen2(F.file, path.c_str(), H5P_DEFAULT);
    if (d < 0)
        fail("cannot open " + path + hdf5Reason());
    return d;
}

std::vector<hsize_t> dimsOf(hid_t d)
{
    hid_t space = H5Dget_space(d);
    const int rank = H5Sget_simple_extent_ndims(space);
    std::vector<hsize_t> dims(rank > 0 ? rank : 0);
    if (rank > 0)
        H5Sget_simple_extent_dims(space, dims.data(), nullptr);
    H5Sclose(space);
    return dims;
}

// Every element of numeric dataset `path`, converted to T; its shape into `dims`.
template <typename T>
std::vector<T> readNumbers(const std::string& path, hid_t memType, std::vector<hsize_t>* dims = nullptr,
                           bool required = true)
{
    hid_t d = openDataset(path, required);
    if (d < 0)
        return {};
    const std::vector<hsize_t> shape = dimsOf(d);
    hid_t type = H5Dget_type(d);
    const H5T_class_t cls = H5Tget_class(type);
    H5Tclose(type);
    if (cls != H5T_INTEGER && cls != H5T_FLOAT) {
        H5Dclose(d);
        fail(path + " does not hold numbers");
    }
    size_t n = 1;
    for (hsize_t k : shape)
        n *= k;
    std::vector<T> values(n);
    if (n > 0 && H5Dread(d, memType, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) < 0) {
        H5Dclose(d);
        fail("cannot read " + path + hdf5Reason());
    }
    H5Dclose(d);
    if (dims)
        *dims = shape;
    return values;
}

// A scalar number of the header; `def` when it is absent.
int64_t headerCount(const char* name, int64_t def)
{
    const auto v = readNumbers<int64_t>(std::string("Header/") + name, H5T_NATIVE_INT64, nullptr, false);
    return v.empty() ? def : v[0];
}

// A text dataset (fixed or variable length, first element); false when absent.
bool readText(hid_t loc, const char* path, std::string& out)
{
    if (!exists(loc, path)) {
        H5Eclear2(H5E_DEFAULT);
        return false;
    }
    hid_t d = H5Dopen2(loc, path, H5P_DEFAULT);
    hid_t type = d < 0 ? -1 : H5Dget_type(d);
    bool ok = type >= 0 && H5Tget_class(type) == H5T_STRING;
    if (ok && H5Tis_variable_str(type) > 0) {
        hid_t mem = H5Tcopy(H5T_C_S1);
        H5Tset_size(mem, H5T_VARIABLE);
        hid_t space = H5Dget_space(d);
        std::vector<char*> texts(std::max<hssize_t>(1, H5Sget_simple_extent_npoints(space)), nullptr);
        ok = H5Dread(d, mem, H5S_ALL, H5S_ALL, H5P_DEFAULT, texts.data()) >= 0;
        if (ok)
            out = texts[0] ? texts[0] : "";
        if (ok)
            H5Dvlen_reclaim(mem, space, H5P_DEFAULT, texts.data());
        H5Sclose(space);
        H5Tclose(mem);
    } else if (ok) {
        hid_t space = H5Dget_space(d);
        const size_t size = H5Tget_size(type);
        std::vector<char> text(size * std::max<hssize_t>(1, H5Sget_simple_extent_npoints(space)) + 1, '\0');
        ok = H5Dread(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, text.data()) >= 0;
        out.assign(text.data(), strnlen(text.data(), size));
        H5Sclose(space);
    }
    if (type >= 0)
        H5Tclose(type);
    if (d >= 0)
        H5Dclose(d);
    if (!ok)
        fail(std::string("cannot read the text ") + path + hdf5Reason());
    return true;
}

herr_t addCentre(hid_t group, const char* name, const H5L_info_t*, void*)
{
    hid_t centre = H5Gopen2(group, name, H5P_DEFAULT);
    if (centre < 0) {
        H5Eclear2(H5E_DEFAULT);
        return 0;  // not a group: no centre
    }
    std::string catName;
    if (!readText(centre, "cat_name", catName)) {
        H5Gclose(centre);
        fail(std::string("Header/phase_center_catalog/") + name + " has no cat_name");
    }
    int id = 0;
    if (exists(centre, "cat_id")) {
        hid_t d = H5Dopen2(centre, "cat_id", H5P_DEFAULT);
        const bool ok = d >= 0 && H5Dread(d, H5T_NATIVE_INT, H5S_ALL, H5S_ALL, H5P_DEFAULT, &id) >= 0;
        if (d >= 0)
            H5Dclose(d);
        if (!ok) {
            H5Gclose(centre);
            fail(std::string("cannot read Header/phase_center_catalog/") + name + "/cat_id" + hdf5Reason());
        }
    } else {
        id = std::atoi(name);
    }
    H5Gclose(centre);
    F.catalogue[id] = catName;
    return 0;
}

// Names a filter of `dataset` that libhdf5 cannot apply, with the package that provides it.
void checkFilters(hid_t dataset, const char* path)
{
    hid_t plist = H5Dget_create_plist(dataset);
    const int n = H5Pget_nfilters(plist);
    for (int i = 0; i < n; ++i) {
        unsigned flags = 0, values[8];
        size_t nvalues = 8;
        char name[64] = "";
        const H5Z_filter_t id = H5Pget_filter2(plist, i, &flags, &nvalues, values, sizeof name, name, nullptr);
        if (H5Zfilter_avail(id) > 0)
            continue;
        H5Eclear2(H5E_DEFAULT);
        H5Pclose(plist);
        std::string what = "HDF5 filter " + std::to_string(id);
        std::string package;
        for (const KnownFilter& k : kFilters)
            if (k.id == id)
                what = k.name + std::string(" (") + what + ")", package = k.package;
        fail(std::string(path) + " is compressed with the " + what + ", which libhdf5 cannot load here" +
             (package.empty() ? std::string(".") : "; install the Debian package " + package + "."));
    }
    H5Pclose(plist);
}

// Checks that per-row array `path` of `values` (with `width` numbers per row) covers every row.
template <typename T>
void needRows(const std::vector<T>& values, const char* path, size_t width = 1)
{
    if (values.size() / width < static_cast<size_t>(F.nrows))
        fail(std::string(path) + " has " + std::to_string(values.size() / width) + " rows where visdata has " +
             std::to_string(F.nrows));
}

void readHeader()
{
    std::vector<hsize_t> dims;
    F.freq0 = 0;
    const auto freqs = readNumbers<double>("Header/freq_array", H5T_NATIVE_DOUBLE, &dims);
    const auto spws = readNumbers<int64_t>("Header/spw_array", H5T_NATIVE_INT64, nullptr, false);
    F.nspect = static_cast<int>(spws.empty() ? headerCount("Nspws", 1) : static_cast<int64_t>(spws.size()));
    if (dims.size() == 2 && static_cast<int>(dims[0]) > F.nspect)
        F.nspect = static_cast<int>(dims[0]);
    if (F.nspect != 1)
        return;
    if (freqs.empty() || dims.empty() || dims.size() > 2 || (dims.size() == 2 && dims[0] != 1))
        fail("Header/freq_array has shape " + shapeText(dims) + " where (1, Nfreqs) or (Nfreqs) was expected");
    F.nchan = static_cast<int>(dims.back());
    F.freq0 = freqs[0];

    const auto pols = readNumbers<int>("Header/polarization_array", H5T_NATIVE_INT, &dims);
    if (pols.empty() || dims.size() != 1)
        fail("Header/polarization_array has shape " + shapeText(dims) + " where (Npols) was expected");
    if (pols.size() > static_cast<size_t>(kMaxPols))
        fail("holds " + std::to_string(pols.size()) + " polarisations; at most " + std::to_string(kMaxPols) +
             " can be read");
    F.nprod = static_cast<int>(pols.size());
    for (int p = 0; p < F.nprod; ++p)
        F.codes[p] = pols[p] >= -8 && pols[p] <= 6 ? pols[p] : kNoPol;

    F.ant1 = readNumbers<int>("Header/ant_1_array", H5T_NATIVE_INT);
    F.ant2 = readNumbers<int>("Header/ant_2_array", H5T_NATIVE_INT);
    F.time = readNumbers<double>("Header/time_array", H5T_NATIVE_DOUBLE);
    F.uvw = readNumbers<double>("Header/uvw_array", H5T_NATIVE_DOUBLE, &dims);
    if (dims.size() != 2 || dims[1] != 3)
        fail("Header/uvw_array has shape " + shapeText(dims) + " where (Nblts, 3) was expected");
    F.inttime = readNumbers<double>("Header/integration_time", H5T_NATIVE_DOUBLE, nullptr, false);
    F.lst = readNumbers<double>("Header/lst_array", H5T_NATIVE_DOUBLE, nullptr, false);
    const auto antennas = readNumbers<int>("Header/antenna_numbers", H5T_NATIVE_INT, nullptr, false);
    F.nants = static_cast<int>(antennas.size());

    readText(F.file, "Header/object_name", F.object);
    if (exists(F.file, "Header/phase_center_catalog")) {
        hid_t group = H5Gopen2(F.file, "Header/phase_center_catalog", H5P_DEFAULT);
        if (group < 0)
            fail("cannot open Header/phase_center_catalog" + hdf5Reason());
        H5Literate(group, H5_INDEX_NAME, H5_ITER_INC, nullptr, addCentre, nullptr);
        H5Gclose(group);
        F.phaseId = readNumbers<int>("Header/phase_center_id_array", H5T_NATIVE_INT);
    }
    H5Eclear2(H5E_DEFAULT);
}

// Turns `m` on when dataset `d` can be mapped: contiguous in the file (so neither chunked nor
// filtered), its elements of `memType`, all of its rows of `rowBytes` within the file.
void planMapping(hid_t d, hid_t memType, size_t rowBytes, Mapping& m)
{
    hid_t plist = H5Dget_create_plist(d);
    const bool contiguous = H5Pget_layout(plist) == H5D_CONTIGUOUS;
    H5Pclose(plist);
    hid_t type = H5Dget_type(d);
    const bool same = H5Tequal(type, memType) > 0;
    H5Tclose(type);
    const haddr_t at = contiguous && same ? H5Dget_offset(d) : HADDR_UNDEF;
    H5Eclear2(H5E_DEFAULT);
    struct stat st;
    if (at == HADDR_UNDEF || F.fd < 0 || fstat(F.fd, &st) != 0)
        return;
    const auto size = static_cast<uint64_t>(st.st_size);
    m.on = at <= size && (size - at) / rowBytes >= static_cast<uint64_t>(F.nrows);
    m.offset = at;
}

void unmap(Mapping& m)
{
    if (m.base)
        munmap(m.base, m.bytes);
    m.base = nullptr;
}

// Maps rows row0 .. row0 + count - 1 of `m`, each of `rowBytes`, in place of those mapped
// before; nullptr when that fails, and then the array is read from there on.
const unsigned char* mapRows(Mapping& m, int64_t row0, int64_t count, size_t rowBytes)
{
    unmap(m);
    const uint64_t from = m.offset + static_cast<uint64_t>(row0) * rowBytes;
    const auto pageBytes = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t page = from / pageBytes * pageBytes;
    m.bytes = static_cast<size_t>(from - page) + static_cast<size_t>(count) * rowBytes;
    void* base = mmap(nullptr, m.bytes, PROT_READ, MAP_SHARED | MAP_POPULATE, F.fd, static_cast<off_t>(page));
    if (base == MAP_FAILED) {
        m.on = false;
        return nullptr;
    }
    m.base = base;
    return static_cast<const unsigned char*>(base) + (from - page);
}

// The data arrays: visdata's layout and element type, flags of the same shape, the filters.
void openData()
{
    F.visdata = openDataset("Data/visdata");
    F.flags = openDataset("Data/flags");
    const auto dims = dimsOf(F.visdata);
    F.rank = static_cast<int>(dims.size());
    const auto n = static_cast<hsize_t>(F.nchan), p = static_cast<hsize_t>(F.nprod);
    const bool shaped = (F.rank == 3 || (F.rank == 4 && dims[1] == 1)) && dims[0] > 0;
    if (shaped && dims[F.rank - 2] == n && dims[F.rank - 1] == p)
        F.polFirst = false;
    else if (shaped && dims[F.rank - 2] == p && dims[F.rank - 1] == n)
        F.polFirst = true;
    else
        fail("Data/visdata has shape " + shapeText(dims) + " where (Nblts, [1,] " + std::to_string(n) + ", " +
             std::to_string(p) + ") or (Nblts, [1,] " + std::to_string(p) + ", " + std::to_string(n) +
             ") was expected from freq_array and polarization_array");
    F.nrows = static_cast<int64_t>(dims[0]);
    if (dimsOf(F.flags) != dims)
        fail("Data/flags has shape " + shapeText(dimsOf(F.flags)) + " where visdata has " + shapeText(dims));

    hid_t type = H5Dget_type(F.visdata);
    bool ok = H5Tget_class(type) == H5T_COMPOUND && H5Tget_nmembers(type) == 2;
    for (const char* member : {"r", "i"}) {
        const int index = ok ? H5Tget_member_index(type, member) : -1;
        if (index < 0) {
            ok = false;
            break;
        }
        hid_t m = H5Tget_member_type(type, static_cast<unsigned>(index));
        const size_t size = H5Tget_size(m);
        const H5T_class_t cls = H5Tget_class(m);
        ok = (cls == H5T_FLOAT && (size == 4 || size == 8)) || (cls == H5T_INTEGER && size == 4);
        H5Tclose(m);
    }
    H5Tclose(type);
    H5Eclear2(H5E_DEFAULT);
    if (!ok)
        fail("Data/visdata elements are not pairs {r, i} of float32, float64 or int32");

    type = H5Dget_type(F.flags);
    if ((H5Tget_class(type) != H5T_ENUM && H5Tget_class(type) != H5T_INTEGER) || H5Tget_size(type) != 1) {
        H5Tclose(type);
        fail("Data/flags elements are not booleans");
    }
    F.flagType = H5Tget_native_type(type, H5T_DIR_ASCEND);
    H5Tclose(type);
    F.complexType = H5Tcreate(H5T_COMPOUND, 2 * sizeof(float));
    H5Tinsert(F.complexType, "r", 0, H5T_NATIVE_FLOAT);
    H5Tinsert(F.complexType, "i", sizeof(float), H5T_NATIVE_FLOAT);

    checkFilters(F.visdata, "Data/visdata");
    checkFilters(F.flags, "Data/flags");

    // Blocks of whole chunks along the rows, so that no chunk is decompressed twice.
    int64_t chunkRows = 1;
    hid_t plist = H5Dget_create_plist(F.visdata);
    if (H5Pget_layout(plist) == H5D_CHUNKED) {
        std::vector<hsize_t> chunk(F.rank);
        if (H5Pget_chunk(plist, F.rank, chunk.data()) == F.rank)
            chunkRows = static_cast<int64_t>(std::max<hsize_t>(1, chunk[0]));
    }
    H5Pclose(plist);
    const size_t rowBytes = 2 * sizeof(float) * n * p;
    const auto rows = static_cast<int64_t>(std::max<size_t>(1, kBlockBytes / rowBytes));
    F.blockRows = std::max<int64_t>(chunkRows, rows / chunkRows * chunkRows);
    if (static_cast<size_t>(F.blockRows) * rowBytes > kMaxBlockBytes)
        F.blockRows = rows;  // chunks too tall to hold whole: read them more than once

    F.fd = ::open(F.name.c_str(), O_RDONLY | O_CLOEXEC);
    planMapping(F.visdata, F.complexType, rowBytes, F.visMap);
    planMapping(F.flags, F.flagType, n * p, F.flagMap);
    if (F.visMap.on)
        F.blockRows = static_cast<int64_t>(std::max<size_t>(1, kMapBytes / rowBytes));
}

void checkRows()
{
    needRows(F.ant1, "Header/ant_1_array");
    needRows(F.ant2, "Header/ant_2_array");
    needRows(F.time, "Header/time_array");
    needRows(F.uvw, "Header/uvw_array", 3);
    if (!F.inttime.empty())
        needRows(F.inttime, "Header/integration_time");
    if (!F.lst.empty())
        needRows(F.lst, "Header/lst_array");
    if (!F.catalogue.empty() || !F.phaseId.empty())
        needRows(F.phaseId, "Header/phase_center_id_array");
    for (int64_t r = 0; r < F.nrows; ++r) {
        for (int a : {F.ant1[r], F.ant2[r]})
            if (a < 0 || a > kMaxAnt)
                fail("antenna number " + std::to_string(a) + " (row " + std::to_string(r) + ") is outside 0 .. " +
                     std::to_string(kMaxAnt));
        if (!F.phaseId.empty() && !F.catalogue.count(F.phaseId[r]))
            fail("phase centre " + std::to_string(F.phaseId[r]) + " (row " + std::to_string(r) +
                 ") is not in Header/phase_center_catalog");
        if (!std::isfinite(F.time[r]))
            fail("time_array holds no time for row " + std::to_string(r));
    }
    F.order.resize(F.nrows);
    std::iota(F.order.begin(), F.order.end(), int64_t{0});
    std::stable_sort(F.order.begin(), F.order.end(), [](int64_t a, int64_t b) { return F.time[a] < F.time[b]; });
}

// Reads the rows of the next block: the run of consecutive rows in `order` from `first`.
void readBlock(int64_t first)
{
    int64_t count = 1;
    const int64_t row0 = F.order[first];
    while (count < F.blockRows && first + count < F.nrows && F.order[first + count] == row0 + count)
        ++count;
    const size_t perRow = static_cast<size_t>(F.nchan) * F.nprod;
    const size_t visRow = 2 * sizeof(float) * perRow;
    F.blockVis = F.visMap.on ? mapRows(F.visMap, row0, count, visRow) : nullptr;
    F.blockFlags = F.flagMap.on ? mapRows(F.flagMap, row0, count, perRow) : nullptr;
    if (!F.blockVis) {
        F.vis.resize(2 * perRow * count);
        F.blockVis = reinterpret_cast<const unsigned char*>(F.vis.data());
    }
    if (!F.blockFlags) {
        F.flagBytes.resize(perRow * count);
        F.blockFlags = F.flagBytes.data();
    }

    std::vector<hsize_t> start(F.rank, 0), size(F.rank);
    size[0] = static_cast<hsize_t>(count);
    start[0] = static_cast<hsize_t>(row0);
    for (int k = 1; k < F.rank; ++k)
        size[k] = dimsOf(F.visdata)[k];
    // The memory space has the file selection's shape: libhdf5 then decompresses whole chunks
    // straight into place, which it does not for a flat one.
    hid_t mem = H5Screate_simple(F.rank, size.data(), nullptr);
    for (auto [d, type, buffer, path] :
         {std::tuple{F.visdata, F.complexType, F.visMap.on ? nullptr : static_cast<void*>(F.vis.data()),
                     "Data/visdata"},
          std::tuple{F.flags, F.flagType, F.flagMap.on ? nullptr : static_cast<void*>(F.flagBytes.data()),
                     "Data/flags"}}) {
        if (!buffer)
            continue;  // mapped
        hid_t space = H5Dget_space(d);
        H5Sselect_hyperslab(space, H5S_SELECT_SET, start.data(), nullptr, size.data(), nullptr);
        const herr_t status = H5Dread(d, type, mem, space, H5P_DEFAULT, buffer);
        H5Sclose(space);
        if (status < 0) {
            H5Sclose(mem);
            fail("cannot read rows " + std::to_string(row0) + " to " + std::to_string(row0 + count - 1) + " of " +
                 path + hdf5Reason());
        }
    }
    H5Sclose(mem);
    F.blockFirst = first;
    F.blockCount = count;
}

// The product code a row's product p stands for: conjugating swaps the cross hands.
int productCode(int p, bool swap)
{
    const int c = F.codes[p];
    if (!swap)
        return c;
    static const int crossed[] = {-7, -8, -5, -6, -3, -4, -1, -2};  // codes -8 .. -1 swapped
    return c >= -8 && c <= -1 ? crossed[c + 8] : c;
}

// Copies product p of row order[pos] (read with its block) into complex `out` and `good`
// (1 good), conjugated when the row stores its antennas the other way round.
void extract(int p, bool swap, float* __restrict out, int* __restrict good)
{
    if (F.pos < F.blockFirst || F.pos >= F.blockFirst + F.blockCount)
        readBlock(F.pos);
    const size_t offset = static_cast<size_t>(F.nchan) * F.nprod * static_cast<size_t>(F.pos - F.blockFirst);
    const unsigned char* v = F.blockVis + 2 * sizeof(float) * offset;
    const uint8_t* fl = F.blockFlags + offset;
    // Channel c of the product is element p * nchan + c, or c * nprod + p.
    const size_t first = F.polFirst ? static_cast<size_t>(p) * F.nchan : static_cast<size_t>(p);
    const size_t step = F.polFirst ? 1 : static_cast<size_t>(F.nprod);
    // A complex value moves as one 64-bit word; conjugating flips the sign bit of its
    // imaginary half, the upper one.
    static_assert(std::endian::native == std::endian::little);
    const uint64_t conjugate = swap ? uint64_t{1} << 63 : 0;
    for (int c = 0; c < F.nchan; ++c) {
        uint64_t value;
        std::memcpy(&value, v + sizeof value * (first + c * step), sizeof value);
        value ^= conjugate;
        std::memcpy(out + 2 * c, &value, sizeof value);
    }
    if (step == 4) {  // a channel's four flags are one 32-bit word, taken several at a time
        const int shift = 8 * p;
        for (int c = 0; c < F.nchan; ++c) {
            uint32_t w;
            std::memcpy(&w, fl + 4 * c, sizeof w);
            good[c] = ((w >> shift) & 0xff) == 0;
        }
    } else {
        for (int c = 0; c < F.nchan; ++c)
            good[c] = fl[first + c * step] == 0;
    }
}

void closeAll()
{
    unmap(F.visMap);
    unmap(F.flagMap);
    if (F.fd >= 0)
        ::close(F.fd);
    for (hid_t* id : {&F.visdata, &F.flags})
        if (*id >= 0)
            H5Dclose(*id);
    for (hid_t* id : {&F.complexType, &F.flagType})
        if (*id >= 0)
            H5Tclose(*id);
    if (F.file >= 0)
        H5Fclose(F.file);
    F = File();
    isOpen = false;
}

}  // namespace

extern "C" int uvh5probe(const char* name)
{
    struct stat st;
    if (!name || ::stat(name, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    FILE* f = std::fopen(name, "rb");
    if (!f)
        return 0;
    unsigned char head[8] = {};
    const size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    static const unsigned char kSignature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
    return n == sizeof head && std::memcmp(head, kSignature, sizeof head) == 0;
}

extern "C" void uvh5open(const char* name, const char* stokes)
{
    if (isOpen)
        bug_c('f', "A UVH5 file is already open, in uvh5open");
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    F = File();
    F.name = name ? name : "";
    F.file = H5Fopen(F.name.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (F.file < 0)
        fail("cannot be opened as HDF5" + hdf5Reason());
    isOpen = true;
    for (const char* group : {"Header", "Data"})
        if (!exists(F.file, group))
            fail(std::string("has no \"") + group + "\" group, so it is not a UVH5 file");
    readHeader();
    if (F.nspect != 1)
        return;
    openData();
    checkRows();

    std::string request = stokes ? stokes : "";
    while (!request.empty() && request.back() == ' ')
        request.pop_back();
    F.request = request.empty() ? 1 : requestCode(request);
    // As for uv data: one raw product (or "ii"), or a file of one product, is selected.
    F.select = F.request <= 0 || F.nprod == 1;
    for (int p = 0; p < F.nprod; ++p) {
        F.rowData[p].resize(2 * static_cast<size_t>(F.nchan));
        F.rowFlags[p].resize(F.nchan);
    }
}

extern "C" void uvh5gti(const char* object, int* value)
{
    if (!isOpen)
        bug_c('f', "No UVH5 file open, in uvh5gti");
    const std::string obj = object ? object : "";
    if (obj == "nchan")
        *value = F.nchan;
    else if (obj == "nspect")
        *value = F.nspect;
    else if (obj == "nants")
        *value = F.nants;
    else if (obj == "npol")
        *value = F.nprod;
    else if (obj == "nrows")
        *value = static_cast<int>(std::min<int64_t>(F.nrows, 0x7fffffff));
    else if (obj == "visno")
        *value = F.visno;
    else if (obj == "pol")
        *value = F.pol;
    else if (obj == "pols")
        std::copy(F.codes, F.codes + F.nprod, value);
    else
        bug_c('f', "Unrecognised object in uvh5gti");
}

extern "C" void uvh5gtd(const char* object, double* value)
{
    if (!isOpen)
        bug_c('f', "No UVH5 file open, in uvh5gtd");
    const std::string obj = object ? object : "";
    const int64_t r = F.lastRow;
    if (obj == "lst")
        *value = r >= 0 && !F.lst.empty() ? F.lst[r] : 0.0;
    else if (obj == "inttime")
        *value = r >= 0 && !F.inttime.empty() ? F.inttime[r] : 0.0;
    else
        bug_c('f', "Unrecognised object in uvh5gtd");
}

extern "C" void uvh5gta(const char* object, char* value, int valuelen)
{
    if (!isOpen)
        bug_c('f', "No UVH5 file open, in uvh5gta");
    if (std::string(object ? object : "") != "source")
        bug_c('f', "Unrecognised object in uvh5gta");
    const int64_t r = F.lastRow;
    std::string text = F.object;
    if (r >= 0 && !F.phaseId.empty())
        text = F.catalogue[F.phaseId[r]];
    if (!value || valuelen < 1)
        return;
    const size_t n = std::min(text.size(), static_cast<size_t>(valuelen - 1));
    std::memcpy(value, text.data(), n);
    value[n] = '\0';
}

extern "C" void uvh5read(double* preamble, float* data, int* flags, int n, int* nread)
{
    if (!isOpen || F.nspect != 1)
        bug_c('f', "No UVH5 file open for reading, in uvh5read");
    if (n < F.nchan)
        bug_c('f', "Data array too small, in uvh5read");
    *nread = 0;
    while (F.pos < F.nrows) {
        const int64_t row = F.order[F.pos];
        const bool swap = F.ant1[row] > F.ant2[row];
        bool delivered = false;
        if (F.select) {
            while (F.nextProd < F.nprod && !selectsProduct(F.request, productCode(F.nextProd, swap)))
                ++F.nextProd;
            if (F.nextProd < F.nprod) {
                const int product = F.nextProd++;
                extract(product, swap, data, flags);
                F.visno = static_cast<int>(row * F.nprod + product + 1);
                delivered = true;
            }
        } else if (F.nextProd == 0) {
            F.nextProd = F.nprod;
            Group g;
            g.nslots = F.nprod;
            for (int p = 0; p < F.nprod; ++p)
                g.code[p] = productCode(p, swap);
            Formed formed;
            Rotation none;
            none.known = true;  // UVH5 files carry no feed angle
            chooseTerms(g, F.request, formed, none);
            // Only the products the request uses are taken out of the row.
            for (int t = 0; t < formed.nterms; ++t) {
                const int slot = formed.terms[t].slot;
                if (!g.data[slot])
                    extract(slot, swap, F.rowData[slot].data(), F.rowFlags[slot].data());
                g.data[slot] = F.rowData[slot].data();
                g.flags[slot] = F.rowFlags[slot].data();
            }
            if (formed.nterms > 0) {
                formRecord(g, formed, F.nchan, data, flags);
                F.visno = static_cast<int>((row + 1) * F.nprod);
                delivered = true;
            }
        }
        if (!delivered) {
            ++F.pos;
            F.nextProd = 0;
            continue;
        }
        F.pol = reportedCode(F.request);
        F.lastRow = row;
        const double scale = (swap ? -1.0 : 1.0) * F.freq0 / kLight;
        preamble[0] = F.uvw[3 * row] * scale;
        preamble[1] = F.uvw[3 * row + 1] * scale;
        preamble[2] = F.time[row];
        preamble[3] = antbas(std::min(F.ant1[row], F.ant2[row]) + UVH5_ANTSHIFT,
                             std::max(F.ant1[row], F.ant2[row]) + UVH5_ANTSHIFT);
        *nread = F.nchan;
        return;
    }
}

extern "C" void uvh5close(void)
{
    if (!isOpen)
        bug_c('f', "No UVH5 file open, in uvh5close");
    closeAll();
}
