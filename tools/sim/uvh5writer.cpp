// Writing UVH5 files: "Header" arrays collected while the rows are written, "Data" written a
// time stamp (all baselines) at a time.
#include "tools/sim/uvh5writer.h"

#include <hdf5.h>

#include <algorithm>
#include <complex>
#include <map>
#include <stdexcept>
#include <vector>

namespace kestrum::sim {

namespace {

constexpr double kLightNsToMetres = 0.299792458;
constexpr H5Z_filter_t kLzf = 32000;

void check(herr_t status, const std::string& what)
{
    if (status < 0)
        throw std::runtime_error("cannot write " + what + " of the UVH5 file");
}

// A dataset of `dims` (scalar when empty) written whole from `values`.
void put(hid_t group, const char* name, hid_t type, const std::vector<hsize_t>& dims, const void* values)
{
    hid_t space =
        dims.empty() ? H5Screate(H5S_SCALAR) : H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr);
    hid_t d = H5Dcreate2(group, name, type, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    check(d < 0 ? -1 : H5Dwrite(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values), name);
    H5Dclose(d);
    H5Sclose(space);
}

void putCount(hid_t group, const char* name, int64_t value)
{
    put(group, name, H5T_NATIVE_INT64, {}, &value);
}

void putText(hid_t group, const char* name, const std::string& text)
{
    hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, std::max<size_t>(1, text.size()));
    std::string padded = text.empty() ? std::string(1, '\0') : text;
    put(group, name, type, {}, padded.data());
    H5Tclose(type);
}

}  // namespace

int64_t writeUvh5(const std::string& path, const UvDescription& d, bool lzf)
{
    if (d.windows.size() != 1)
        throw std::runtime_error("a UVH5 file is written with one spectral window");
    const auto pairs = baselinesOf(d);
    const Window& w = d.windows.front();
    const auto nbls = static_cast<hsize_t>(pairs.size());
    const auto ntimes = static_cast<hsize_t>(d.times.size());
    const auto nchan = static_cast<hsize_t>(w.nschan), npol = static_cast<hsize_t>(d.pols.size());
    const hsize_t nblts = nbls * ntimes;

    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // failures are thrown, not printed
    hid_t file = H5Fcreate(path.c_str(), H5F_ACC_EXCL, H5P_DEFAULT, H5P_DEFAULT);
    if (file < 0)
        throw std::runtime_error("cannot create the UVH5 file " + path);
    hid_t header = H5Gcreate2(file, "Header", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    hid_t data = H5Gcreate2(file, "Data", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);

    hid_t complexType = H5Tcreate(H5T_COMPOUND, 2 * sizeof(float));
    H5Tinsert(complexType, "r", 0, H5T_NATIVE_FLOAT);
    H5Tinsert(complexType, "i", sizeof(float), H5T_NATIVE_FLOAT);
    hid_t boolType = H5Tenum_create(H5T_NATIVE_INT8);
    const int8_t no = 0, yes = 1;
    H5Tenum_insert(boolType, "FALSE", &no);
    H5Tenum_insert(boolType, "TRUE", &yes);

    // Chunks of whole rows of about 1 MiB of visdata when compressed.
    const hsize_t dims[3] = {std::max<hsize_t>(1, nblts), nchan, npol};
    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    if (lzf) {
        const hsize_t chunk[3] = {std::clamp<hsize_t>((1u << 20) / (8 * nchan * npol), 1, dims[0]), nchan, npol};
        H5Pset_chunk(dcpl, 3, chunk);
        check(H5Pset_filter(dcpl, kLzf, H5Z_FLAG_MANDATORY, 0, nullptr), "the LZF filter (hdf5-plugin-lzf)");
    }
    hid_t space = H5Screate_simple(3, dims, nullptr);
    hid_t vis = H5Dcreate2(data, "visdata", complexType, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    hid_t flags = H5Dcreate2(data, "flags", boolType, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    hid_t samples = H5Dcreate2(data, "nsamples", H5T_NATIVE_FLOAT, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    H5Pclose(dcpl);
    check(vis < 0 || flags < 0 || samples < 0 ? -1 : 0, "Data");

    std::vector<int64_t> ant1, ant2, phaseId;
    std::vector<double> times, inttimes, lsts, uvw;
    std::map<std::string, int> ids;
    std::vector<std::string> names;
    std::vector<float> rowVis(2 * nbls * nchan * npol);
    std::vector<int8_t> rowFlags(nbls * nchan * npol);
    const std::vector<float> ones(nbls * nchan * npol, 1.0f);

    UvRecord r;
    for (hsize_t t = 0; t < ntimes; ++t) {
        r.timeIndex = static_cast<int>(t);
        r.time = d.times[t];
        r.source = d.source ? d.source(r.timeIndex) : "sim";
        if (!ids.count(r.source)) {
            ids[r.source] = static_cast<int>(names.size());
            names.push_back(r.source);
        }
        for (hsize_t b = 0; b < nbls; ++b) {
            const auto [a1, a2] = pairs[b];
            placeBaseline(d, r, a1, a2);
            ant1.push_back(a1);
            ant2.push_back(a2);
            phaseId.push_back(ids[r.source]);
            times.push_back(r.time);
            inttimes.push_back(d.inttime);
            lsts.push_back(r.lst);
            for (double x : {r.u, r.v, r.w})
                uvw.push_back(x * kLightNsToMetres);
            for (hsize_t p = 0; p < npol; ++p) {
                r.pol = d.pols[p];
                if (d.perRecord)
                    d.perRecord(0, r);
                for (hsize_t k = 0; k < nchan; ++k) {
                    const size_t at = (b * nchan + k) * npol + p;
                    const std::complex<float> x = d.value ? d.value(r, static_cast<int>(k)) : 1.0f;
                    rowVis[2 * at] = x.real();
                    rowVis[2 * at + 1] = x.imag();
                    rowFlags[at] = d.flags && d.good && !d.good(r, static_cast<int>(k)) ? 1 : 0;
                }
                ++r.index;
            }
        }
        const hsize_t start[3] = {t * nbls, 0, 0}, count[3] = {nbls, nchan, npol};
        hid_t mem = H5Screate_simple(3, count, nullptr);
        H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, count, nullptr);
        check(H5Dwrite(vis, complexType, mem, space, H5P_DEFAULT, rowVis.data()), "Data/visdata");
        check(H5Dwrite(flags, boolType, mem, space, H5P_DEFAULT, rowFlags.data()), "Data/flags");
        check(H5Dwrite(samples, H5T_NATIVE_FLOAT, mem, space, H5P_DEFAULT, ones.data()), "Data/nsamples");
        H5Sclose(mem);
    }
    for (hid_t id : {vis, flags, samples})
        H5Dclose(id);
    H5Sclose(space);

    putCount(header, "Nblts", static_cast<int64_t>(nblts));
    putCount(header, "Nbls", static_cast<int64_t>(nbls));
    putCount(header, "Ntimes", static_cast<int64_t>(ntimes));
    putCount(header, "Nfreqs", static_cast<int64_t>(nchan));
    putCount(header, "Npols", static_cast<int64_t>(npol));
    putCount(header, "Nspws", 1);
    putCount(header, "Nants_data", d.nants);
    putCount(header, "Nants_telescope", d.nants);
    put(header, "ant_1_array", H5T_NATIVE_INT64, {nblts}, ant1.data());
    put(header, "ant_2_array", H5T_NATIVE_INT64, {nblts}, ant2.data());
    put(header, "time_array", H5T_NATIVE_DOUBLE, {nblts}, times.data());
    put(header, "integration_time", H5T_NATIVE_DOUBLE, {nblts}, inttimes.data());
    put(header, "lst_array", H5T_NATIVE_DOUBLE, {nblts}, lsts.data());
    put(header, "uvw_array", H5T_NATIVE_DOUBLE, {nblts, 3}, uvw.data());
    std::vector<double> freqs(nchan);
    for (hsize_t k = 0; k < nchan; ++k)
        freqs[k] = (w.sfreq + static_cast<double>(k) * w.sdf) * 1e9;
    put(header, "freq_array", H5T_NATIVE_DOUBLE, {1, nchan}, freqs.data());
    const double width = w.sdf * 1e9;
    put(header, "channel_width", H5T_NATIVE_DOUBLE, {}, &width);
    const int64_t spw = 0;
    put(header, "spw_array", H5T_NATIVE_INT64, {1}, &spw);
    const std::vector<int64_t> pols(d.pols.begin(), d.pols.end());
    put(header, "polarization_array", H5T_NATIVE_INT64, {npol}, pols.data());
    std::vector<int64_t> antennas(d.nants);
    std::string antNames;
    constexpr size_t kNameLen = 8;
    for (int a = 0; a < d.nants; ++a) {
        antennas[a] = a + 1;
        std::string name = "ANT" + std::to_string(a + 1);
        name.resize(kNameLen, '\0');
        antNames += name;
    }
    put(header, "antenna_numbers", H5T_NATIVE_INT64, {static_cast<hsize_t>(d.nants)}, antennas.data());
    hid_t nameType = H5Tcopy(H5T_C_S1);
    H5Tset_size(nameType, kNameLen);
    put(header, "antenna_names", nameType, {static_cast<hsize_t>(d.nants)}, antNames.data());
    H5Tclose(nameType);
    putText(header, "telescope_name", "kestrum-sim");
    putText(header, "instrument", "kestrum-sim");
    putText(header, "vis_units", "UNCALIB");
    putText(header, "version", "1.0");
    if (names.size() == 1) {
        putText(header, "object_name", names.front());
    } else {
        // One catalogue group per source, named by its id.
        hid_t catalogue = H5Gcreate2(header, "phase_center_catalog", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        for (size_t i = 0; i < names.size(); ++i) {
            hid_t centre = H5Gcreate2(catalogue, std::to_string(i).c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
            putText(centre, "cat_name", names[i]);
            const int64_t id = static_cast<int64_t>(i);
            put(centre, "cat_id", H5T_NATIVE_INT64, {}, &id);
            H5Gclose(centre);
        }
        H5Gclose(catalogue);
        put(header, "phase_center_id_array", H5T_NATIVE_INT64, {nblts}, phaseId.data());
    }
    H5Tclose(boolType);
    H5Tclose(complexType);
    H5Gclose(data);
    H5Gclose(header);
    check(H5Fclose(file), "the end");
    return r.index;
}

}  // namespace kestrum::sim
