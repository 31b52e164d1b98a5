// Crafted uv data sets and an independent byte-level count of a data set's records.
#include "tests/app/uvsets.h"

#include "dataset/uvio.h"
#include "tests/support/support.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace kestrum::test {

void writeCrafted(const std::string& path, const std::vector<CraftRecord>& records, const CraftOptions& options)
{
    int tno = 0;
    uvopen_c(&tno, path.c_str(), "new");
    uvset_c(tno, "preamble", "uv/time/baseline", 0, 0.0, 0.0, 0.0);
    const double sfreq = 1.4, sdf = 0.001;
    for (const CraftRecord& r : records) {
        uvputvr_c(tno, 2, "nants", &r.ant2, 1);
        uvputvr_c(tno, 2, "npol", &options.npol, 1);
        uvputvr_c(tno, 2, "nspect", &options.nspect, 1);
        uvputvr_c(tno, 2, "nschan", &r.nchan, 1);
        uvputvr_c(tno, 5, "sfreq", &sfreq, 1);
        uvputvr_c(tno, 5, "sdf", &sdf, 1);
        uvputvr_c(tno, 2, "pol", &r.pol, 1);
        if (!r.source.empty())
            uvputvr_c(tno, 1, "source", r.source.c_str(), static_cast<int>(r.source.size()));
        std::vector<float> data(2 * r.nchan);
        std::vector<int> flags(r.nchan, 1);
        for (int c = 0; c < r.nchan; ++c)
            data[2 * c] = 1.0f + 0.1f * c;
        const double preamble[4] = {10.0, 20.0, r.time, 256.0 * r.ant1 + r.ant2};
        uvwrite_c(tno, preamble, data.data(), flags.data(), r.nchan);
    }
    uvclose_c(tno);
}

namespace {

uint32_t be32(const std::string& b, size_t at)
{
    return (uint32_t(uint8_t(b[at])) << 24) | (uint32_t(uint8_t(b[at + 1])) << 16) |
        (uint32_t(uint8_t(b[at + 2])) << 8) | uint32_t(uint8_t(b[at + 3]));
}

double beDouble(const std::string& b, size_t at)
{
    const uint64_t v = (uint64_t(be32(b, at)) << 32) | be32(b, at + 4);
    double d;
    std::memcpy(&d, &v, sizeof d);
    return d;
}

float beFloat(const std::string& b, size_t at)
{
    const uint32_t v = be32(b, at);
    float f;
    std::memcpy(&f, &v, sizeof f);
    return f;
}

size_t elementSize(char type)
{
    switch (type) {
    case 'a':
        return 1;
    case 'j':
        return 2;
    case 'i':
    case 'r':
        return 4;
    default:
        return 8;  // d, c
    }
}

}  // namespace

StreamCounts countStream(const std::string& dataset, int pol)
{
    std::vector<char> types;
    std::vector<std::string> names;
    std::istringstream table(readFile(dataset + "/vartable"));
    std::string line;
    while (std::getline(table, line)) {
        if (line.size() < 3)
            continue;
        types.push_back(line[0]);
        names.push_back(line.substr(2));
    }
    auto index = [&](const std::string& name) {
        const auto it = std::find(names.begin(), names.end(), name);
        return it == names.end() ? -1 : static_cast<int>(it - names.begin());
    };
    const int iCorr = index("corr"), iBl = index("baseline"), iTime = index("time"), iSrc = index("source"),
              iPol = index("pol"), iNschan = index("nschan");

    const std::string v = readFile(dataset + "/visdata");
    std::vector<size_t> length(names.size(), 0);
    double time = 0.0;
    int baseline = 0, curPol = 0;
    std::string source;
    bool corrSeen = false;
    StreamCounts counts;
    std::map<std::string, std::map<int, std::vector<double>>> times;  // source -> baseline -> times
    size_t at = 0;
    while (at + 4 <= v.size()) {
        const int var = uint8_t(v[at]);
        const int code = uint8_t(v[at + 2]);
        if (code == 0) {
            length[var] = be32(v, at + 4);
            at += 8;
        } else if (code == 1) {
            const size_t es = elementSize(types[var]);
            const size_t start = at + (es == 8 ? 8 : 4);
            if (var == iCorr)
                corrSeen = true;
            else if (var == iBl)
                baseline = static_cast<int>(beFloat(v, start) + 0.5f);
            else if (var == iTime)
                time = beDouble(v, start);
            else if (var == iSrc)
                source = std::string(v.data() + start, strnlen(v.data() + start, length[var]));
            else if (var == iPol)
                curPol = static_cast<int>(be32(v, start));
            else if (var == iNschan)
                counts.nchan = static_cast<int>(be32(v, start));
            at = (start + length[var] + 7) / 8 * 8;
        } else {
            if (corrSeen && (pol == 0 || curPol == pol)) {
                ++counts.records;
                counts.baselines.insert(baseline);
                if (!source.empty()) {
                    counts.sources.insert(source);
                    times[source][baseline].push_back(time);
                }
            }
            corrSeen = false;
            at += 8;
        }
    }
    std::vector<double> dts;
    for (const auto& [name, byBaseline] : times) {
        const std::vector<double>& t = byBaseline.begin()->second;
        for (size_t i = 1; i < t.size(); ++i)
            if (t[i] - t[i - 1] > 2.777777777777778e-05)
                dts.push_back(t[i] - t[i - 1]);
    }
    if (!dts.empty()) {
        std::sort(dts.begin(), dts.end());
        const size_t n = dts.size();
        counts.tint = 86400 * (n % 2 ? dts[n / 2] : 0.5 * (dts[n / 2 - 1] + dts[n / 2]));
    }
    return counts;
}

}  // namespace kestrum::test
