// Test fixtures for the loader: small uv data sets written record by record with chosen
// times, baselines, channel counts and polarisations (to provoke each failure), and an
// independent walk over a data set's bytes that counts what the loader should find.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestrum::test {

struct CraftRecord {
    double time;  // Julian date
    int ant1, ant2;
    int nchan = 8;
    int pol = -5;  // xx
    std::string source = "src";  // empty: the record carries no source name
};

struct CraftOptions {
    int nspect = 1;  // value of "nspect"
    int npol = 1;  // value of "npol"
};

// Writes a uv data set holding exactly these records (amplitude 1 + channel / 10, all good).
void writeCrafted(const std::string& path, const std::vector<CraftRecord>& records, const CraftOptions& options = {});

// What a data set holds, read from the bytes of "vartable" and "visdata" without the
// dataset layer: records with channel data of polarisation `pol` (0: any), their baselines
// and sources, and the integration time the loader should guess.
struct StreamCounts {
    int64_t records = 0;
    std::set<int> baselines;
    std::set<std::string> sources;
    int nchan = 0;
    double tint = 0.0;  // 0 when no interval of more than 2.4 s exists
};
StreamCounts countStream(const std::string& dataset, int pol = 0);

}  // namespace kestrum::test
