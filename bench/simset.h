// The simulated data set of the loading benchmarks: four polarisations (xx, yy, xy, yx) of 1024
// channels, one scan of 3c286, and enough 10-second integrations for the "visdata" size asked for.
#pragma once

#include "tests/support/support.h"
#include "tools/sim/observe.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

struct SimulatedSet {
    kestrum::test::TempDir dir;
    std::string vis;
    double visdataBytes = 0.0;
    int nchan = 1024;
};

// Simulates nants antennas into a temporary directory as `name`, with about as many megabytes of
// "visdata" as the environment variable mbVariable says (1100 when it is unset).
inline std::unique_ptr<SimulatedSet> simulateSet(const char* name, int nants, const char* mbVariable)
{
    auto s = std::make_unique<SimulatedSet>();
    const char* mb = std::getenv(mbVariable);
    const double target = (mb ? std::atof(mb) : 1100.0) * 1e6;
    kestrum::sim::ObserveConfig c;
    c.out = s->dir.file(name);
    c.nants = nants;
    c.nchan = s->nchan;
    c.pols = {-5, -6, -7, -8};
    c.sources = {"3c286"};
    c.scans = 1;
    c.inttime = 10.0;
    const double perIntegration = nants * (nants - 1) / 2 * 4 * (c.nchan * 8.0 + 200.0);
    c.hours = std::ceil(target / perIntegration) * c.inttime / 3600.0;
    kestrum::sim::observe(c);
    s->vis = c.out;
    struct stat st;
    ::stat((c.out + "/visdata").c_str(), &st);
    s->visdataBytes = static_cast<double>(st.st_size);
    return s;
}
