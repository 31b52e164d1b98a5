// UVH5 files in the viewer: the five real files loaded and checked against a reading of each
// done here with libhdf5, a simulated observation written as uv and as UVH5 giving the same
// summary and statistics, and damaged copies of a real file ending with a clear message.
#include "model/observation.h"
#include "params/krellparams.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>
#include <hdf5.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <tuple>

using kestrum::test::binary;
using kestrum::test::RunResult;
using kestrum::test::sharedData;
using kestrum::test::TempDir;

namespace {

template <typename T>
std::vector<T> readAll(hid_t file, const std::string& path, hid_t type, std::vector<hsize_t>* dims = nullptr)
{
    hid_t d = H5Dopen2(file, path.c_str(), H5P_DEFAULT);
    hid_t space = H5Dget_space(d);
    std::vector<hsize_t> shape(H5Sget_simple_extent_ndims(space));
    H5Sget_simple_extent_dims(space, shape.data(), nullptr);
    std::vector<T> values(H5Sget_simple_extent_npoints(space));
    EXPECT_GE(H5Dread(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0) << path;
    H5Sclose(space);
    H5Dclose(d);
    if (dims)
        *dims = shape;
    return values;
}

// A UVH5 file as read here: per row its antennas and time, and every product's channels.
struct FileView {
    size_t rows = 0, nchan = 0, npol = 0;
    bool polFirst = false;  // visdata is (..., Npols, Nfreqs)
    std::vector<int> pols, ant1, ant2;
    std::vector<double> time;
    std::vector<std::complex<float>> vis;
    std::vector<uint8_t> flags;
    size_t at(size_t row, size_t chan, size_t p) const
    {
        return polFirst ? (row * npol + p) * nchan + chan : (row * nchan + chan) * npol + p;
    }
};

FileView readView(const std::string& path)
{
    FileView v;
    hid_t f = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    std::vector<hsize_t> dims;
    hid_t pair = H5Tcreate(H5T_COMPOUND, 8);
    H5Tinsert(pair, "r", 0, H5T_NATIVE_FLOAT);
    H5Tinsert(pair, "i", 4, H5T_NATIVE_FLOAT);
    v.vis = readAll<std::complex<float>>(f, "Data/visdata", pair, &dims);
    H5Tclose(pair);
    v.flags = readAll<uint8_t>(f, "Data/flags", H5T_NATIVE_UINT8);
    v.pols = readAll<int>(f, "Header/polarization_array", H5T_NATIVE_INT);
    v.rows = dims[0];
    v.npol = v.pols.size();
    v.polFirst = dims.back() != v.npol;
    v.nchan = v.polFirst ? dims.back() : dims[dims.size() - 2];
    v.ant1 = readAll<int>(f, "Header/ant_1_array", H5T_NATIVE_INT);
    v.ant2 = readAll<int>(f, "Header/ant_2_array", H5T_NATIVE_INT);
    v.time = readAll<double>(f, "Header/time_array", H5T_NATIVE_DOUBLE);
    H5Fclose(f);
    return v;
}

std::unique_ptr<Observation> load(const std::string& vis, const std::string& stokes)
{
    KrellParams params(eAppView);
    params.vis = vis;
    params.stokes = stokes;
    auto obs = std::make_unique<Observation>(params, false);
    testing::internal::CaptureStdout();
    const bool ok = obs->getObsParams() && obs->read();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ok) << vis;
    return obs;
}

// Runs a program of this build tree without a display.
RunResult runTool(const std::string& program, std::vector<std::string> args, std::vector<std::string> env = {})
{
    args.insert(args.begin(), binary(program));
    env.push_back("DISPLAY=");
    return kestrum::test::run(args, "", env, 120.0);
}

const char* const kRealFiles[] = {"zen.2458116.61019.xx.HH.XRS_downselected.uvh5",
                                  "zen.2458116.61019.xx.HH.XRS_downselected.new_shape.uvh5",
                                  "zen.2459114.60020.sum.downsample_transpose.uvh5",
                                  "zen.2458098.43124.downsample.uvh5", "zen.2458042.60288.HH.uvRXLS.uvh5_downselected"};

}  // namespace

TEST(Uvh5Load, RealFilesGiveTheRecordsChannelsBaselinesTimesAndFlagsOfTheFile)
{
    for (const char* name : kRealFiles) {
        SCOPED_TRACE(name);
        const FileView f = readView(sharedData(name));
        const auto obs = load(sharedData(name), "xx");
        const size_t xx = std::find(f.pols.begin(), f.pols.end(), -5) - f.pols.begin();
        ASSERT_LT(xx, f.npol);
        // Rows by (ant1, ant2, time); the loader swaps no pair in these files.
        std::map<std::tuple<int, int, double>, size_t> rowOf;
        std::set<std::pair<int, int>> pairs;
        std::set<double> times;
        size_t flagged = 0;
        for (size_t r = 0; r < f.rows; ++r) {
            rowOf[{f.ant1[r], f.ant2[r], f.time[r]}] = r;
            pairs.insert({f.ant1[r], f.ant2[r]});
            times.insert(f.time[r]);
            for (size_t c = 0; c < f.nchan; ++c)
                flagged += f.flags[f.at(r, c, xx)] != 0;
        }
        ASSERT_EQ(rowOf.size(), f.rows);
        EXPECT_EQ(obs->allVis.size(), f.rows);
        EXPECT_EQ(static_cast<size_t>(obs->nchan), f.nchan);

        std::vector<std::pair<int, int>> shown;  // in the viewer's baseline order
        std::set<double> loadedTimes;
        size_t loadedFlagged = 0;
        for (const auto& [number, b] : obs->baselines) {
            shown.push_back({b.ant1, b.ant2});
            for (size_t i = 0; i < b.vis.size(); ++i) {
                const Visibility& v = obs->allVis[b.vis[i]];
                if (i > 0) {
                    EXPECT_LE(obs->allVis[b.vis[i - 1]].time, v.time);
                }
                loadedTimes.insert(v.time);
                const auto row = rowOf.find({b.ant1, b.ant2, v.time});
                ASSERT_NE(row, rowOf.end()) << b.ant1 << "-" << b.ant2 << " at " << v.time;
                for (size_t c = 0; c < f.nchan; ++c) {
                    loadedFlagged += v.Flagged(static_cast<int>(c)) != 0;
                    ASSERT_EQ(v.Flagged(static_cast<int>(c)) != 0, f.flags[f.at(row->second, c, xx)] != 0) << c;
                    ASSERT_EQ(v.data[c], f.vis[f.at(row->second, c, xx)]) << c;
                }
            }
        }
        EXPECT_EQ(shown, (std::vector<std::pair<int, int>>(pairs.begin(), pairs.end())));
        EXPECT_EQ(loadedTimes, times);
        EXPECT_EQ(loadedFlagged, flagged);
    }
}

TEST(Uvh5Load, FormedAndSelectedPolarisationsComeFromTheProductsOfEachRow)
{
    const std::string path = sharedData("zen.2458098.43124.downsample.uvh5");
    const FileView f = readView(path);
    ASSERT_EQ(f.pols, (std::vector<int>{-5, -6, -7, -8}));
    // "ii" delivers xx and yy of each row as records of their own; "i" forms one per row.
    EXPECT_EQ(load(path, "ii")->allVis.size(), 2 * f.rows);
    const auto obs = load(path, "i");
    ASSERT_EQ(obs->allVis.size(), f.rows);
    std::map<std::pair<int, double>, size_t> rowOf;  // by (ant1 * 4096 + ant2, time)
    for (size_t r = 0; r < f.rows; ++r)
        rowOf[{f.ant1[r] * 4096 + f.ant2[r], f.time[r]}] = r;
    for (const auto& [number, b] : obs->baselines)
        for (int index : b.vis) {
            const Visibility& v = obs->allVis[index];
            EXPECT_EQ(v.pol, 1);
            const size_t r = rowOf.at({b.ant1 * 4096 + b.ant2, v.time});
            for (size_t c = 0; c < f.nchan; ++c) {
                const auto want = 0.5f * f.vis[f.at(r, c, 0)] + 0.5f * f.vis[f.at(r, c, 1)];
                ASSERT_NEAR(std::abs(v.data[c] - want), 0.0, 1e-5 * (1 + std::abs(want))) << c;
                ASSERT_EQ(v.Flagged(static_cast<int>(c)) != 0, f.flags[f.at(r, c, 0)] || f.flags[f.at(r, c, 1)]);
            }
        }
}

TEST(Uvh5Load, SimulatedObservationAsUvAndAsUvh5GivesTheSameSummaryAndStatistics)
{
    TempDir dir;
    const std::vector<std::string> sim{binary("tools/kestrum-sim"), "nants=5",   "nchan=48",   "sources=zcal,alpha",
                                       "pols=xx,yy,xy,yx",          "hours=0.3", "inttime=10", "scans=3"};
    for (const char* format : {"uv", "uvh5"}) {
        auto argv = sim;
        argv.push_back(std::string("out=") + dir.file(std::string("sim.") + format));
        argv.push_back(std::string("format=") + format);
        ASSERT_EQ(kestrum::test::run(argv).status, 0) << format;
    }
    const std::string uv = dir.file("sim.uv"), uvh5 = dir.file("sim.uvh5");
    // The survey reads either as the viewer does.
    const auto surveyA = runTool("tools/kestrum-survey", {"vis=" + uv}),
               surveyB = runTool("tools/kestrum-survey", {"vis=" + uvh5});
    ASSERT_EQ(surveyA.status, 0) << surveyA.err;
    EXPECT_EQ(surveyA.out.substr(surveyA.out.find("Read ")), surveyB.out.substr(surveyB.out.find("Read ")));
    for (const char* stokes : {"xx", "i", "q", "v", "ii"}) {
        SCOPED_TRACE(stokes);
        const auto a = runTool("app/kestrum", {"vis=" + uv, std::string("stokes=") + stokes, "options=debug1"});
        const auto b = runTool("app/kestrum", {"vis=" + uvh5, std::string("stokes=") + stokes, "options=debug1"});
        const std::string summaryA = a.out.substr(a.out.find("Read ")), summaryB = b.out.substr(b.out.find("Read "));
        EXPECT_NE(summaryA.find("Detected a total of 10 baselines"), std::string::npos) << summaryA;
        EXPECT_EQ(summaryA, summaryB);

        const auto obsA = load(uv, stokes), obsB = load(uvh5, stokes);
        ASSERT_EQ(obsA->sources.size(), 2u);
        ASSERT_EQ(obsA->baselines.size(), obsB->baselines.size());
        auto it = obsB->baselines.begin();
        for (auto& [number, baseline] : obsA->baselines) {
            Baseline& other = (it++)->second;
            ASSERT_EQ(std::pair(baseline.ant1, baseline.ant2), std::pair(other.ant1, other.ant2));
            baseline.updateStats(true, true);
            other.updateStats(true, true);
            for (int c = 0; c < obsA->nchan; ++c) {
                EXPECT_EQ(baseline.chanAmpStats[c].median, other.chanAmpStats[c].median) << number << " " << c;
                EXPECT_EQ(baseline.channelStats(true)[c].rms, other.channelStats(true)[c].rms) << number << " " << c;
                EXPECT_EQ(baseline.chanPhaseStats[c].median, other.chanPhaseStats[c].median) << number << " " << c;
            }
        }
    }
}

namespace {

// Edits a copy of a real file with libhdf5.
void edit(const std::string& path, const std::function<void(hid_t)>& change)
{
    hid_t f = H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    ASSERT_GE(f, 0);
    change(f);
    H5Fclose(f);
}

void replaceInts(hid_t f, const char* path, const std::vector<int64_t>& values)
{
    H5Ldelete(f, path, H5P_DEFAULT);
    const hsize_t n = values.size();
    hid_t space = H5Screate_simple(1, &n, nullptr);
    hid_t d = H5Dcreate2(f, path, H5T_NATIVE_INT64, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    H5Dwrite(d, H5T_NATIVE_INT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
    H5Dclose(d);
    H5Sclose(space);
}

}  // namespace

TEST(Uvh5Load, DamagedCopiesEndWithAMessageNamingTheFileAndTheProblem)
{
    const std::string original = kestrum::test::readFile(sharedData(kRealFiles[0]));
    TempDir dir;
    const std::string noPlugins = dir.file("noplugins");
    ASSERT_EQ(mkdir(noPlugins.c_str(), 0700), 0);
    struct Case {
        const char* name;
        std::function<void(const std::string&)> damage;
        std::string expected;  // in the messages
    };
    auto remove = [](const char* path) {
        return [path](const std::string& file) { edit(file, [&](hid_t f) { H5Ldelete(f, path, H5P_DEFAULT); }); };
    };
    auto replace = [](const char* path, std::vector<int64_t> values) {
        return [=](const std::string& file) { edit(file, [&](hid_t f) { replaceInts(f, path, values); }); };
    };
    auto truncate = [&](const std::string& file) {
        kestrum::test::writeFile(file, original.substr(0, original.size() / 3));
    };
    auto overwriteFlags = [](const std::string& file) {
        haddr_t address = 0;
        hsize_t size = 0, offset[4];
        unsigned mask = 0;
        edit(file, [&](hid_t f) {
            hid_t d = H5Dopen2(f, "Data/flags", H5P_DEFAULT), space = H5Dget_space(d);
            H5Dget_chunk_info(d, space, 0, offset, &mask, &address, &size);
            H5Sclose(space);
            H5Dclose(d);
        });
        ASSERT_GT(size, 0u);
        std::string bytes = kestrum::test::readFile(file);
        std::fill_n(bytes.begin() + static_cast<long>(address), size, '\xff');
        kestrum::test::writeFile(file, bytes);
    };
    const std::string noLzf = "Data/flags is compressed with the LZF (HDF5 filter 32000), which libhdf5 cannot load "
                              "here; install the Debian package hdf5-plugin-lzf.";
    const std::vector<Case> cases = {
        {"truncated", truncate, "cannot be opened as HDF5"},
        {"time_array removed", remove("Header/time_array"), "Header/time_array is missing"},
        {"flags removed", remove("Data/flags"), "Data/flags is missing"},
        {"Header removed", remove("Header"), "has no \"Header\" group"},
        {"ant_2_array short", replace("Header/ant_2_array", {1, 2}),
         "Header/ant_2_array has 2 rows where visdata has 180"},
        {"two polarisations named", replace("Header/polarization_array", {-5, -6}),
         "Data/visdata has shape (180, 1, 1024, 1)"},
        {"two spectral windows", replace("Header/spw_array", {0, 1}),
         "Can't deal with 2 IFs, run tessfen before proceeding."},
        {"flag chunk overwritten", overwriteFlags, "cannot read rows 0 to"},
        {"LZF plugin not found", [](const std::string&) {}, noLzf},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir.file("damaged.uvh5");
        kestrum::test::writeFile(file, original);
        c.damage(file);
        using Env = std::vector<std::string>;  // no plugin directory for the LZF case
        const RunResult r = runTool("app/kestrum", {"vis=" + file, "stokes=xx"},
                                    c.expected == noLzf ? Env{"HDF5_PLUGIN_PATH=" + noPlugins} : Env{});
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        const std::string all = r.out + r.err;
        EXPECT_NE(all.find(c.expected), std::string::npos) << all;
        if (c.expected.find("IFs") == std::string::npos) {
            EXPECT_NE(r.err.find("### Fatal Error:  UVH5 file " + file + ": "), std::string::npos) << r.err;
        }
        EXPECT_EQ(all.find("HDF5-DIAG"), std::string::npos) << all;
        std::remove(file.c_str());
    }
}
