// Crafted uv data sets and an independent byte-level count of a data set's records.
#include "tests/app/uvsets.h"

#include "dataset/uvio.h"
#include "tests/support/support.h"

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

StreamCounts countStream(const std::string& dataset, int pol)
{
    StreamCounts counts;
    std::map<std::string, std::map<int, std::vector<double>>> times;  // source -> baseline -> times
    for (const RawRecord& r : rawRecords(dataset)) {
        if (pol != 0 && r.pol != pol)
            continue;
        ++counts.records;
        counts.nchan = r.nchan;
        counts.baselines.insert(r.baseline);
        if (!r.source.empty()) {
            counts.sources.insert(r.source);
            times[r.source][r.baseline].push_back(r.time);
        }
    }
    std::vector<double> dts;
    for (const auto& [name, byBaseline] : times) {
        const std::vector<double>& t = byBaseline.begin()->second;
        for (size_t i = 1; i < t.size(); ++i)
            if (t[i] - t[i - 1] > 2.777777777777778e-05)
                dts.push_back(86400 * (t[i] - t[i - 1]));
    }
    counts.tint = dts.empty() ? 0.0 : sortedMedian(dts);
    return counts;
}

}  // namespace kestrum::test
