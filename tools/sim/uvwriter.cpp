// Writing uv data sets from a UvDescription through uvopen_c/uvputvr_c/uvwrite_c.
#include "tools/sim/uvwriter.h"

#include <cmath>
#include <stdexcept>

#include "dataset/hio.h"
#include "dataset/uvio.h"

namespace kestrum::sim {

std::vector<std::pair<int, int>> baselinesOf(const UvDescription& d)
{
    if (!d.baselines.empty())
        return d.baselines;
    std::vector<std::pair<int, int>> out;
    for (int a1 = 1; a1 <= d.nants; ++a1)
        for (int a2 = a1; a2 <= d.nants; ++a2)
            if (a1 != a2 || d.autos)
                out.emplace_back(a1, a2);
    return out;
}

double baselineNumber(int a1, int a2)
{
    if (a2 > 255)
        return 2048.0 * a1 + a2 + 65536;
    return 256.0 * a1 + a2;
}

void placeBaseline(const UvDescription& d, UvRecord& r, int a1, int a2)
{
    r.ant1 = a1;
    r.ant2 = a2;
    r.baseline = baselineNumber(a1, a2);
    if (d.coord) {
        d.coord(r);
        return;
    }
    const double ha = 0.05 * r.timeIndex, len = 100.0 * (a2 - a1);
    r.u = len * std::cos(ha);
    r.v = len * std::sin(ha) * 0.5;
    r.w = len * std::sin(ha) * 0.8;
}

int64_t writeUv(const std::string& path, const UvDescription& d)
{
    int tno = 0;
    uvopen_c(&tno, path.c_str(), "new");
    uvset_c(tno, "preamble", d.uvw ? "uvw/time/baseline" : "uv/time/baseline", 0, 0, 0, 0);
    char corr[2] = {d.corrType, 0};
    uvset_c(tno, "corr", corr, 0, 0, 0, 0);
    if (d.header)
        d.header(tno);

    const auto pairs = baselinesOf(d);
    int nchan = 0;
    std::vector<int> nschan, ischan;
    std::vector<double> sfreq, sdf, restfreq;
    for (const Window& w : d.windows) {
        ischan.push_back(nchan + 1);
        nchan += w.nschan;
        nschan.push_back(w.nschan);
        sfreq.push_back(w.sfreq);
        sdf.push_back(w.sdf);
        restfreq.push_back(w.restfreq);
    }
    const int nspect = static_cast<int>(d.windows.size());
    const int npol = static_cast<int>(d.pols.size());
    const float inttime = static_cast<float>(d.inttime);
    std::vector<float> data(2 * static_cast<size_t>(nchan)), wdata(2 * static_cast<size_t>(d.wideChannels));
    std::vector<int> flags(nchan, 1), wflags(d.wideChannels, 1);
    std::vector<float> wfreq(d.wideChannels), wwidth(d.wideChannels, 0.1f);
    for (int k = 0; k < d.wideChannels; ++k)
        wfreq[k] = static_cast<float>(d.windows.front().sfreq + 0.1 * k);

    UvRecord r;
    for (size_t t = 0; t < d.times.size(); ++t) {
        r.timeIndex = static_cast<int>(t);
        r.time = d.times[t];
        r.source = d.source ? d.source(r.timeIndex) : "sim";
        for (const auto& [a1, a2] : pairs) {
            placeBaseline(d, r, a1, a2);
            for (int pol : d.pols) {
                r.pol = pol;
                uvputvr_c(tno, IO_INT, "nants", &d.nants, 1);
                uvputvr_c(tno, IO_INT, "npol", &npol, 1);
                uvputvr_c(tno, IO_INT, "nspect", &nspect, 1);
                uvputvr_c(tno, IO_INT, "nschan", nschan.data(), nspect);
                uvputvr_c(tno, IO_INT, "ischan", ischan.data(), nspect);
                uvputvr_c(tno, IO_DBLE, "sfreq", sfreq.data(), nspect);
                uvputvr_c(tno, IO_DBLE, "sdf", sdf.data(), nspect);
                uvputvr_c(tno, IO_DBLE, "restfreq", restfreq.data(), nspect);
                uvputvr_c(tno, IO_REAL, "inttime", &inttime, 1);
                uvputvr_c(tno, IO_REAL, "veldop", &d.veldop, 1);
                uvputvr_c(tno, IO_REAL, "vsource", &d.vsource, 1);
                uvputvr_c(tno, IO_BYTE, "source", r.source.c_str(), static_cast<int>(r.source.size()));
                uvputvr_c(tno, IO_INT, "pol", &pol, 1);
                if (d.perRecord)
                    d.perRecord(tno, r);
                for (int k = 0; k < nchan; ++k) {
                    std::complex<float> x = d.value ? d.value(r, k) : std::complex<float>(1, 0);
                    data[2 * k] = x.real();
                    data[2 * k + 1] = x.imag();
                    flags[k] = d.good ? d.good(r, k) : 1;
                }
                if (d.wideChannels > 0) {
                    for (int k = 0; k < d.wideChannels; ++k) {
                        wdata[2 * k] = static_cast<float>(r.index % 1000) + k;
                        wdata[2 * k + 1] = -static_cast<float>(k);
                    }
                    uvputvr_c(tno, IO_REAL, "wfreq", wfreq.data(), d.wideChannels);
                    uvputvr_c(tno, IO_REAL, "wwidth", wwidth.data(), d.wideChannels);
                    uvwwrite_c(tno, wdata.data(), d.flags ? wflags.data() : nullptr, d.wideChannels);
                }
                double pre[5] = {r.u, r.v};
                int p = 2;
                if (d.uvw)
                    pre[p++] = r.w;
                pre[p++] = r.time;
                pre[p] = r.baseline;
                uvwrite_c(tno, pre, data.data(), d.flags ? flags.data() : nullptr, nchan);
                ++r.index;
            }
        }
    }
    uvclose_c(tno);
    return r.index;
}

}  // namespace kestrum::sim
