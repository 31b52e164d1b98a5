// kestrum-sim: writes a simulated uv data set or UVH5 file (calibrator and target scans, bandpass, gains,
// noise, flagged band edges and interference) for the viewer's demo, tests and benchmarks.
#include "model/progress.h"
#include "model/util.h"
#include "params/params.h"
#include "task/pols.h"
#include "tools/sim/observe.h"

#include <sys/stat.h>

#include <algorithm>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>

namespace {

using kestrum::sim::ObserveConfig;

void usage()
{
    std::cout << "kestrum-sim writes a simulated uv data set or UVH5 file.\n"
                 "\n"
                 "kestrum-sim out=dataset [nants=10] [nchan=256] [sources=3c286,target] [pols=xx,yy]\n"
                 "            [hours=2] [inttime=10] [scans=4] [corr=r|j] [seed=1] [sfreq=1.4]\n"
                 "            [bandwidth=0.1] [noise=0.05] [rfi=yes|no] [cal=yes|no] [fault=A-B]\n"
                 "            [truth=FILE.json] [format=uv|uvh5]\n"
                 "\n"
                 "out       : the data set to create; it must not exist yet.\n"
                 "nants     : number of antennas; every pair of them is a baseline.\n"
                 "nchan     : channels of the one spectral window.\n"
                 "sources   : source names; the first is the calibrator, scans alternate between it\n"
                 "            and the others in turn.\n"
                 "pols      : polarisations of each record group, e.g. xx,yy,xy,yx or rr,ll.\n"
                 "hours     : time from the first to the last integration.\n"
                 "inttime   : integration time in seconds.\n"
                 "scans     : number of scans; a gap separates each from the next.\n"
                 "corr      : r stores the correlations as reals, j as scaled 16-bit integers.\n"
                 "seed      : the same seed writes the same data set.\n"
                 "sfreq     : sky frequency of the first channel in GHz; bandwidth: in GHz.\n"
                 "noise     : rms in Jy of each real and imaginary part of the noise.\n"
                 "rfi       : yes adds persistent narrow-band interference, broad-band bursts and a\n"
                 "            misbehaving antenna; no leaves them out.\n"
                 "cal       : yes also adds a delay per antenna and writes the calibration tables that\n"
                 "            undo the gains, delays and bandpasses (gain solutions with a gap, and the\n"
                 "            last antenna without gains at first), so the calibrated data is flat where\n"
                 "            the model is; at most 64 antennas.\n"
                 "fault     : also a transmitter in one channel and a burst in one integration on the\n"
                 "            baseline of antennas A and B alone.\n"
                 "truth     : writes what was injected as JSON: the misbehaving antenna, the persistent\n"
                 "            channels, the burst integrations, the flagged edge channels and the one\n"
                 "            baseline's faults (channels and integrations zero-based, -1 or [] for none).\n"

                 "format    : uv writes a uv data set (a directory), uvh5 a UVH5 file (HDF5) of the\n"
                 "            same records; cal=yes and corr=j need uv.\n";
}

// Strict number conversions: the whole text must be the number.
bool toLong(const std::string& text, long long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

bool toDouble(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0';
}

// Moves the keywords that the simulator knows from `keys` into `config`; false after a
// message when a value is not acceptable.
bool takeKeywords(std::map<std::string, std::string>& keys, ObserveConfig& config, std::string& truth)
{
    auto take = [&keys](const char* name, std::string& value) {
        auto it = keys.find(name);
        if (it == keys.end())
            return false;
        value = it->second;
        keys.erase(it);
        return true;
    };
    auto bad = [](const char* name, const std::string& value) {
        std::cerr << "kestrum-sim: " << name << "=" << value << " is not a valid value." << std::endl;
        return false;
    };
    std::string v;
    long long n = 0;
    double d = 0.0;
    if (take("out", v))
        config.out = v;
    if (take("truth", v))
        truth = v;
    if (take("nants", v)) {
        if (!toLong(v, n) || n < 2 || n > 2048)
            return bad("nants", v);
        config.nants = static_cast<int>(n);
    }
    if (take("nchan", v)) {
        if (!toLong(v, n) || n < 1 || n > 32768)
            return bad("nchan", v);
        config.nchan = static_cast<int>(n);
    }
    if (take("scans", v)) {
        if (!toLong(v, n) || n < 1 || n > 10000)
            return bad("scans", v);
        config.scans = static_cast<int>(n);
    }
    if (take("seed", v)) {
        if (!toLong(v, n))
            return bad("seed", v);
        config.seed = static_cast<uint64_t>(n);
    }
    const std::pair<const char*, double*> reals[] = {{"hours", &config.hours},
                                                     {"inttime", &config.inttime},
                                                     {"sfreq", &config.sfreq},
                                                     {"bandwidth", &config.bandwidth},
                                                     {"noise", &config.noise}};
    for (const auto& [name, field] : reals) {
        if (take(name, v)) {
            if (!toDouble(v, d))
                return bad(name, v);
            *field = d;
        }
    }
    if (take("sources", v)) {
        config.sources.clear();
        split(v, ",", config.sources);
    }
    if (take("pols", v)) {
        std::vector<std::string> names;
        split(v, ",", names);
        config.pols.clear();
        for (const std::string& name : names) {
            if (name.size() != 2)
                return bad("pols", v);
            config.pols.push_back(polsp2c(name.c_str()));
        }
    }
    if (take("corr", v)) {
        if (v != "r" && v != "j")
            return bad("corr", v);
        config.corr16 = v == "j";
    }
    if (take("cal", v)) {
        if (v != "yes" && v != "no")
            return bad("cal", v);
        config.cal = v == "yes";
    }
    if (take("fault", v)) {
        std::vector<std::string> ants;
        split(v, "-", ants);
        long long a1 = 0, a2 = 0;
        if (ants.size() != 2 || !toLong(ants[0], a1) || !toLong(ants[1], a2) || a1 < 1 || a2 > 2048)
            return bad("fault", v);
        config.faultAnt1 = static_cast<int>(std::min(a1, a2));
        config.faultAnt2 = static_cast<int>(std::max(a1, a2));
    }
    if (take("format", v)) {
        if (v != "uv" && v != "uvh5")
            return bad("format", v);
        config.uvh5 = v == "uvh5";
    }
    if (take("rfi", v)) {
        if (v != "yes" && v != "no")
            return bad("rfi", v);
        config.rfi = v == "yes";
    }
    return true;
}

std::string jsonList(const std::vector<int>& values)
{
    std::string text = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            text += ", ";
        text += std::to_string(values[i]);
    }
    return text + "]";
}

// The injected faults as JSON; false after a message naming the file when it cannot be written.
bool writeTruth(const std::string& path, const ObserveConfig& config, const kestrum::sim::Interference& rfi)
{
    std::ofstream file(path, std::ios::trunc);
    file << "{\n  \"bad_antenna\": " << rfi.badAntenna << ",\n  \"channels\": " << jsonList(rfi.channels)
         << ",\n  \"integrations\": " << jsonList(rfi.burstIntegrations)
         << ",\n  \"edge_channels\": " << rfi.edgeChannels << ",\n  \"fault_baseline\": "
         << (rfi.faultChannel >= 0 ? jsonList({config.faultAnt1, config.faultAnt2}) : "[]")
         << ",\n  \"fault_channel\": " << rfi.faultChannel << ",\n  \"fault_integration\": " << rfi.faultIntegration
         << "\n}\n";
    file.close();
    if (!file) {
        std::cerr << "kestrum-sim: cannot write truth=" << path << "." << std::endl;
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        usage();
        return 1;
    }
    Params params;
    params.read(argc, argv);
    if (!params.plainArgs.empty()) {
        std::cerr << "kestrum-sim: parameters are key=value words; \"" << params.plainArgs.front() << "\" is not."
                  << std::endl;
        return 1;
    }
    ObserveConfig config;
    std::string truth;
    if (!takeKeywords(params.keywords, config, truth))
        return 1;
    if (!params.keywords.empty()) {
        std::cout << "WARNING: Undefined parameters specified, the following will be ignored:" << std::endl;
        for (const auto& [key, value] : params.keywords)
            std::cout << "   " << key << "=" << value << std::endl;
        std::cout << std::endl;
    }
    if (const std::string problem = kestrum::sim::checkConfig(config); !problem.empty()) {
        std::cerr << "kestrum-sim: " << problem << "." << std::endl;
        return 1;
    }
    struct stat st;
    if (::stat(config.out.c_str(), &st) == 0) {
        std::cerr << "kestrum-sim: " << config.out << " already exists; give a new name." << std::endl;
        return 1;
    }

    const auto integrations = static_cast<double>(kestrum::sim::schedule(config).size());
    const double values = integrations * config.nants * (config.nants - 1) / 2 * config.pols.size() * config.nchan;
    std::cout << "Writing " << config.out << std::endl;
    kestrum::sim::ObserveSummary summary;
    {
        // A bar only for outputs that take a while (more than about 64 MB of correlations).
        std::unique_ptr<Progress> bar;
        if (values > 8e6)
            bar = std::make_unique<Progress>(integrations, 20);
        try {
            summary = kestrum::sim::observe(config, [&bar](int64_t done, int64_t) {
                if (bar)
                    bar->update(static_cast<double>(done));
            });
        } catch (const std::exception& e) {
            bar.reset();
            std::cerr << "kestrum-sim: " << e.what() << "." << std::endl;
            return 1;
        }
    }
    std::cout << "Wrote " << summary.records << " records: " << summary.integrations << " integrations x "
              << summary.baselines << " baselines x " << config.pols.size() << " polarisations, " << config.nchan
              << " channels." << std::endl;
    for (size_t i = 0; i < config.sources.size(); ++i)
        std::cout << "  " << config.sources[i] << ": " << summary.recordsPerSource[i] << " records" << std::endl;
    const auto& rfi = summary.rfi;
    if (rfi.edgeChannels > 0)
        std::cout << "Flagged " << rfi.edgeChannels << " channels at each end of the band." << std::endl;
    if (!rfi.channels.empty()) {
        std::cout << "Persistent interference in channels (zero-based, as on the viewer's x axis):";
        for (int c : rfi.channels)
            std::cout << " " << c;
        std::cout << std::endl;
    }
    if (!rfi.burstIntegrations.empty()) {
        std::cout << "Broad-band bursts in integrations (from 0):";
        for (int i : rfi.burstIntegrations)
            std::cout << " " << i;
        std::cout << std::endl;
    }
    if (rfi.badAntenna)
        std::cout << "Misbehaving antenna: " << rfi.badAntenna << std::endl;
    if (rfi.faultChannel >= 0)
        std::cout << "On baseline " << config.faultAnt1 << "-" << config.faultAnt2
                  << " alone: a transmitter in channel " << rfi.faultChannel << " and a burst in integration "
                  << rfi.faultIntegration << "." << std::endl;
    if (config.cal) {
        const auto& cal = summary.cal;
        std::cout << "Wrote gains, delays and bandpasses; no gain solution in integrations " << cal.gapFirst << " to "
                  << cal.gapEnd - 1 << ", antenna " << cal.zeroAntenna << " without gains in integrations "
                  << cal.zeroFirst << " to " << cal.zeroEnd - 1 << "." << std::endl;
    }
    if (!truth.empty() && !writeTruth(truth, config, rfi))
        return 1;
    return 0;
}
