// The viewer's loading of a data set as the benchmarks time it: its keywords, and the load run
// in a child process of its own, so that its peak memory is its own.
#pragma once

#include "bench/child.h"
#include "bench/cputime.h"
#include "model/observation.h"
#include "params/krellparams.h"

#include <string>

// The viewer's keywords for loading `vis` as `stokes` (goodch 0).
inline KrellParams viewerParams(const std::string& vis, const std::string& stokes)
{
    KrellParams params(eAppView);
    params.vis = vis;
    params.stokes = stokes;
    params.goodchGiven = true;
    params.goodch = 0;
    return params;
}

struct LoadResult {
    double cpu = 0.0, wall = 0.0;  // seconds the load took
    long maxRssKiB = 0;  // peak resident memory after it
    long records = -1;  // -1 when the load failed
};

// Loads `vis` as `stokes` in a child process.
inline LoadResult loadInChild(const std::string& vis, const std::string& stokes)
{
    LoadResult r;
    runInChild(r, [&](int fd) {
        LoadResult c;
        KrellParams params = viewerParams(vis, stokes);
        const double cpu0 = cpuSeconds();
        const double wall0 = wallSeconds();
        Observation obs(params, false);
        const bool ok = obs.getObsParams() && obs.read();
        c.cpu = cpuSeconds() - cpu0;
        c.wall = wallSeconds() - wall0;
        c.records = ok ? static_cast<long>(obs.allVis.size()) : -1;
        c.maxRssKiB = peakRssKiB();
        sendToParent(fd, c);
    });
    return r;
}
