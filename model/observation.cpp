// Loading a whole observation through the uv data access layer, filing its records by
// source and baseline, guessing the integration time and printing the summary.
#include "model/observation.h"

#include "dataset/headio.h"
#include "dataset/uvio.h"
#include "model/progress.h"
#include "model/util.h"
#include "task/key.h"
#include "task/uvdat.h"
#include "task/uvh5.h"

#include <cmath>
#include <complex>
#include <iostream>
#include <sstream>

namespace {

// Most channels a record may carry; the loader's record buffers have this size.
constexpr int kMaxChan = 32772;
// Intervals between records of 2.4 seconds (in days) or less never count as integrations.
constexpr double kMinInterval = 2.777777777777778e-05;
// Integration time assumed when neither the records nor the data set give one.
constexpr double kDefaultTint = 1.0;

// Uv variable type codes.
constexpr int kChar = 1;
constexpr int kInt = 2;
constexpr int kDouble = 5;

void printError(const std::string& message)
{
    std::cout << "##### ERROR" << std::endl;
    std::cout << message << std::endl;
}

void printWindowsError(int windows)
{
    printError("Can't deal with " + std::to_string(windows) + " IFs, run tessfen before proceeding.");
}

// True when `bl` truncates to a 32-bit baseline key.
bool validBaselineNumber(double bl)
{
    return std::isfinite(bl) && bl > -1.0 && bl < 2147483648.0;
}

}  // namespace

Observation::Observation(const KrellParams& params, bool ampOnly) : params(params), ampOnly(ampOnly) {}

bool Observation::getObsParams()
{
    uvh5_ = uvh5probe(params.vis.c_str()) != 0;
    if (uvh5_)
        return getUvh5Params();
    const int zero = 0;
    int tno = 0;
    uvopen_c(&tno, params.vis.c_str(), "old");
    uvset_c(tno, "coord", "wavelength", 0, 0.0, 0.0, 0.0);
    uvset_c(tno, "data", "channel", 0, 1.0, 1.0, 1.0);
    uvnext_c(tno);

    int npol = 0;
    uvrdvr_c(tno, kInt, "nants", &nants, &zero, 1);
    uvrdvr_c(tno, kInt, "npol", &npol, &zero, 1);

    char type = ' ';
    int length = 0, updated = 0;
    uvprobvr_c(tno, "corr", &type, &length, &updated);
    if (type == ' ' || type == '\0') {
        uvclose_c(tno);
        printError("No channel data (variable \"corr\") in " + params.vis + ".");
        return false;
    }

    uvrdvr_c(tno, kInt, "nspect", &nif, &zero, 1);
    if (nif != 1) {
        uvclose_c(tno);
        printWindowsError(nif);
        return false;
    }

    uvgetvr_c(tno, kInt, "nschan", &nchan, 1);
    rdhdl_c(tno, "ncorr", &ncorr, 0);

    // The first npol records carry one polarisation each.
    for (int i = 0; i < npol; ++i) {
        int code = 0;
        uvrdvr_c(tno, kInt, "pol", &code, &zero, 1);
        addPol(code);
        if (i + 1 < npol && uvscan_c(tno, "") != 0)
            break;
    }
    uvclose_c(tno);
    printShape();
    return true;
}

bool Observation::getUvh5Params()
{
    uvh5open(params.vis.c_str(), params.stokes.c_str());
    uvh5gti("nspect", &nif);
    if (nif != 1) {
        uvh5close();
        printWindowsError(nif);
        return false;
    }
    int npol = 0, nrows = 0;
    uvh5gti("nants", &nants);
    uvh5gti("nchan", &nchan);
    uvh5gti("npol", &npol);
    uvh5gti("nrows", &nrows);
    ncorr = static_cast<int64_t>(nrows) * nchan * npol;
    int codes[4] = {};
    uvh5gti("pols", codes);
    for (int i = 0; i < npol; ++i)
        addPol(codes[i]);
    uvh5close();
    printShape();
    return true;
}

void Observation::addPol(int code)
{
    if (const char* name = polName(code))
        pols[name] = code;
    else
        std::cout << "WARNING: polarisation code " << code << " has no name and is left out of the polarisation list."
                  << std::endl;
}

void Observation::printShape() const
{
    if (Params::debug2) {
        std::cout << "nants=" << nants << std::endl;
        std::cout << "ncorr=" << ncorr << std::endl;
        std::cout << "nchan=" << nchan << std::endl;
        std::cout << "nif=" << nif << std::endl;
        std::cout << "Polarizations:";
        for (const auto& [name, code] : pols)
            std::cout << " " << name;
        std::cout << std::endl;
    }
}

bool Observation::read()
{
    std::cout << "Reading " << params.vis << std::endl;

    // Expected number of records of one polarisation; no bar when the shape gives none.
    double total = 0.0;
    if (nchan > 0 && ncorr > 0)
        total = static_cast<double>(ncorr / nchan / static_cast<int64_t>(pols.empty() ? 1 : pols.size()));

    std::string error;
    bool ok;
    {
        Progress bar(total, 20);
        ok = readRecords(bar, error);
    }
    if (!ok) {
        if (!error.empty())
            printError(error);
        return false;
    }
    std::cout << "Read " << allVis.size() << " visibilities" << std::endl;

    if (allVis.empty()) {
        printError("Couldn't find any stokes " + params.stokes + " data to analyse.");
        if (!pols.empty()) {
            std::string held;
            for (const auto& [name, code] : pols)
                held += (held.empty() ? "" : ", ") + name;
            std::cout << "This data set holds " << held << "; try stokes=" << pols.begin()->first << "." << std::endl;
        }
        return false;
    }
    guessIntegrationTime();
    return true;
}

bool Observation::readRecords(Progress& bar, std::string& error)
{
    int tno = 0;
    if (uvh5_) {
        uvh5open(params.vis.c_str(), params.stokes.c_str());
    } else {
        keyini();
        keyputc(("vis=" + params.vis).c_str());
        keyputc(("stokes=" + params.stokes).c_str());
        uvdatinp("vis", "sdlwbcef");
        keyfin();
        if (!uvdatopn(&tno)) {
            std::cerr << "Failed to open a vis file" << std::endl;
            return false;
        }
    }

    // Complex values are read straight to where the record will keep them, saving a copy of
    // each; amplitude-only records keep what is worked out of a buffer instead.
    std::vector<std::complex<float>> ampBuffer(ampOnly ? kMaxChan : 0);
    std::complex<float>* data = nullptr;
    std::vector<int> inFlags(kMaxChan);
    std::vector<int> flags(kMaxChan);
    double preamble[4] = {0.0, 0.0, 0.0, 0.0};
    int nread = 0;
    auto next = [&]() {
        data = ampOnly ? ampBuffer.data()
                       : reinterpret_cast<std::complex<float>*>(channels.room(Visibility::storeBytes(kMaxChan, false)));
        float* buffer = reinterpret_cast<float*>(data);
        if (uvh5_)
            uvh5read(preamble, buffer, inFlags.data(), kMaxChan, &nread);
        else
            uvdatrd(preamble, buffer, inFlags.data(), kMaxChan, &nread);
    };
    next();

    const double zeroD = 0.0;
    if (uvh5_) {
        uvh5gti("nchan", &nchan);
        uvh5gtd("inttime", &inttime_);
    } else {
        double line[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        uvinfo_c(tno, "line", line);
        nchan = nint(line[1]);
        uvrdvr_c(tno, kDouble, "inttime", &inttime_, &zeroD, 1);
    }
    if (params.goodchGiven) {
        if (params.goodch < 0)
            params.goodch = 0;
        if (params.goodch > nchan - 1)
            params.goodch = nchan - 1;
    }

    double prevTime = 0.0;
    bool ok = true;
    while (nread > 0) {
        bar.update(static_cast<double>(allVis.size()));
        const double time = preamble[2];
        if (prevTime > time) {
            error = "Data set is not in time order. Aborting!";
            ok = false;
            break;
        }
        if (nread != nchan) {
            std::ostringstream msg;
            msg << "Inconsistent number of channels between visibilities (previously=" << nchan << ", now=" << nread
                << "). Aborting!";
            error = msg.str();
            ok = false;
            break;
        }
        if (!validBaselineNumber(preamble[3])) {
            std::ostringstream msg;
            msg << "Record " << allVis.size() + 1 << " has the invalid baseline number " << preamble[3]
                << ". Aborting!";
            error = msg.str();
            ok = false;
            break;
        }

        int visno = 0, pol = 0;
        double lst = 0.0;
        char source[64];
        if (uvh5_) {
            uvh5gti("visno", &visno);
            uvh5gti("pol", &pol);
            uvh5gtd("lst", &lst);
            uvh5gta("source", source, sizeof source);
        } else {
            uvdatgti("visno", &visno);
            uvdatgti("pol", &pol);
            uvrdvr_c(tno, kDouble, "lst", &lst, &zeroD, 1);
            uvrdvr_c(tno, kChar, "source", source, "", sizeof source);
        }

        for (int c = 0; c < nread; ++c)
            flags[c] = inFlags[c] == 1 ? 0 : 3;

        allVis.emplace_back(visno, preamble[0], preamble[1], time, preamble[3], lst, pol, nchan, data, flags.data(),
                            ampOnly, channels);
        add(source, static_cast<int>(allVis.size() - 1));

        next();
        prevTime = time;
    }
    if (uvh5_) {
        uvh5close();
        // Baseline numbers count the file's antennas (from 0) from UVH5_ANTSHIFT.
        auto unshift = [](std::map<int32_t, Baseline>& map) {
            for (auto& [number, baseline] : map) {
                baseline.ant1 -= UVH5_ANTSHIFT;
                baseline.ant2 -= UVH5_ANTSHIFT;
            }
        };
        unshift(baselines);
        for (auto& [name, source] : sources)
            unshift(source.baselines);
    } else {
        uvdatcls();
    }
    return ok;
}

void Observation::add(const char* source, int index)
{
    const unsigned nch = nchan > 0 ? static_cast<unsigned>(nchan) : 0u;
    const unsigned goodch = params.goodch > 0 ? static_cast<unsigned>(params.goodch) : 0u;
    if (source[0] != '\0') {
        auto it = sources.find(source);
        if (it == sources.end())
            it = sources.emplace(source, Source(source, &allVis)).first;
        it->second.add(index, nch, goodch);
    }
    fileByBaseline(baselines, &allVis, index, nch, goodch);
}

void Observation::guessIntegrationTime()
{
    if (Params::debug2)
        std::cout << "Guessing integration time from first baseline and channel." << std::endl;

    std::vector<double> intervals;
    for (const auto& [name, source] : sources) {
        if (source.baselines.empty())
            continue;
        const Baseline& first = source.baselines.begin()->second;
        for (size_t i = 1; i < first.vis.size(); ++i) {
            const double dt = allVis[first.vis[i]].time - allVis[first.vis[i - 1]].time;
            if (dt > kMinInterval) {
                intervals.push_back(dt);
                if (Params::debug2)
                    std::cout << name << "[" << i << "]=" << dt * 86400 << std::endl;
            }
        }
    }
    if (!intervals.empty()) {
        tint = 86400 * stat(intervals).median;
        tintFallback = false;
        if (Params::debug2)
            std::cout << "tint = " << tint << std::endl;
    } else {
        tint = inttime_ > 0.0 ? inttime_ : kDefaultTint;
        tintFallback = true;
    }
}

void Observation::summary() const
{
    std::cout << "Read data for the following sources:" << std::endl;
    for (const auto& [name, source] : sources)
        std::cout << "  " << name << std::endl;
    if (Params::debug1) {
        std::cout << "Detected a total of " << baselines.size() << " baselines:" << std::endl;
        for (const auto& [number, baseline] : baselines)
            std::cout << "  (" << baseline.ant1 << "," << baseline.ant2 << ")" << std::endl;
    }
    std::cout << "Number of channels: " << nchan << std::endl;
    std::cout << "I am guessing that the integration time is " << static_cast<int>(tint + 0.5) << " seconds"
              << std::endl;
    if (tintFallback) {
        if (inttime_ > 0.0)
            std::cout << "  (no two records of a first baseline lie more than 2.4 seconds apart:"
                         " this is the data set's \"inttime\")"
                      << std::endl;
        else
            std::cout << "  (no two records of a first baseline lie more than 2.4 seconds apart"
                         " and the data set has no \"inttime\": 1 second assumed)"
                      << std::endl;
    }
    if (!allVis.empty()) {
        const int code = allVis.front().pol;
        const char* name = polName(code);
        std::cout << "Using stokes " << (name ? name : std::to_string(code)) << " for analysis." << std::endl;
    }
}
