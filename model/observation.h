// A whole uv data set as the viewer holds it: every record of one polarisation, in reading
// order, filed by baseline and by source; the loader that fills it and its console summary.
#pragma once

#include "model/baseline.h"
#include "model/source.h"
#include "model/visibility.h"
#include "params/krellparams.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class Progress;

class Observation {
public:
    // Keeps a copy of the run parameters (vis, stokes, goodchGiven, goodch are used).
    Observation(const KrellParams& params, bool ampOnly);

    // Probes the data set's shape: nants, nif, nchan, ncorr and pols. False (after its
    // message) when the data set has no "corr" variable or more than one spectral window.
    // A regular file that begins with the HDF5 signature is read as a UVH5 file, into the
    // same records; a directory is a uv data set.
    bool getObsParams();
    // Loads every record of the requested polarisation with a progress bar, then guesses the
    // integration time. False (after its message) when the data set cannot be opened, goes
    // back in time, changes its channel count or holds no record of the polarisation.
    bool read();
    // Files the record already stored at allVis[index] under its source (when `source` is not
    // empty) and its baseline.
    void add(const char* source, int index);
    // Prints the sources, channels, integration time and polarisation (and with debug1 the
    // baselines) to standard output.
    void summary() const;

    KrellParams params;
    bool ampOnly;
    double tint = 0.0;  // integration time, seconds
    bool tintFallback = false;  // no usable interval: tint comes from "inttime" or is 1 s
    std::map<std::string, Source> sources;
    std::map<int32_t, Baseline> baselines;
    ChannelStore channels;  // the channel data of allVis (declared first: it outlives them)
    std::vector<Visibility> allVis;
    std::map<std::string, int32_t> pols;  // polarisation name -> code
    int32_t nants = 0;
    int64_t ncorr = 0;  // header "ncorr": correlation values in the data set
    int32_t nif = 0;  // spectral windows
    int32_t nchan = 0;  // channels per record

private:
    // The body of read() while the progress bar runs; false after filling `error` with the
    // message lines, which read() prints once the bar's line is closed.
    bool readRecords(Progress& bar, std::string& error);
    void guessIntegrationTime();
    bool getUvh5Params();
    // Enters a polarisation code found in the data into `pols`, warning when it has no name.
    void addPol(int code);
    // With debug2, the shape found by getObsParams.
    void printShape() const;

    double inttime_ = 0.0;  // the data set's "inttime" at the first record, 0 if none
    bool uvh5_ = false;  // the data set is a UVH5 file
};
