// The write side of uv records: "corr" and "wcorr" with their flags, and rewriting the flags
// of the line last read.
#include <algorithm>
#include <cmath>
#include <vector>

#include "dataset/hio.h"
#include "dataset/maskio.h"
#include "dataset/uvint.h"
#include "dataset/uvio.h"

namespace kestrum::uvi {

namespace {

bool writing(const Uv& uv)
{
    return (uv.flags & (UV_NEW | UV_APPEND)) != 0;
}

int writeMask(Uv& uv, bool wide)
{
    int& mask = wide ? uv.wmask : uv.mask;
    if (!mask) {
        const char* name = wide ? "wflags" : "flags";
        mask = (uv.flags & UV_NEW) ? 0 : mkopen_c(uv.tno, name, "old");
        if (!mask)
            mask = mkopen_c(uv.tno, name, "new");
    }
    return mask;
}

// Writes n flags at mask position `offset` in the data set's flag mode.
void putFlags(Uv& uv, bool wide, const int* flags, int64_t offset, int n)
{
    int mask = writeMask(uv, wide);
    if (uv.flagMode == MK_RUNS) {
        // Runs are (start, end) pairs ended by a start of 0.
        int nruns = 0;
        while (nruns < 2 * n + 2 && flags[nruns] > 0)
            nruns += 2;
        mkwrite_c(mask, MK_RUNS, flags, offset, n, nruns);
    } else {
        mkwrite_c(mask, MK_FLAGS, flags, offset, n, n);
    }
}

void flagWrite(int tno, const int* flags, bool wide)
{
    Uv& uv = handle(tno);
    const Line& l = uv.lastLine;
    bool ok = wide ? l.kind == LINE_WIDE : l.kind == LINE_CHANNEL;
    if (!ok || l.width != 1 || uv.lastFlagOffset < 0)
        fatal("Illegal request when trying to write to flagging file, in UVFLGWR");
    int mask = wide ? uv.wmask : uv.mask;
    if (!mask)
        fatal("No flags item to write to, in UVFLGWR");
    int step = static_cast<int>(l.step);
    if (step == 1) {
        mkwrite_c(mask, MK_FLAGS, flags, uv.lastFlagOffset, l.n, l.n);
    } else {
        for (int j = 0; j < l.n; ++j)
            mkwrite_c(mask, MK_FLAGS, flags + j, uv.lastFlagOffset + int64_t(j) * step, 1, 1);
    }
    // The record's cached input flags no longer match the mask.
    (wide ? uv.wflagCall : uv.flagCall) = -1;
}

}  // namespace

}  // namespace kestrum::uvi

using namespace kestrum::uvi;

extern "C" {

void uvflgwr_c(int tno, const int* flags)
{
    flagWrite(tno, flags, false);
}
void uvwflgwr_c(int tno, const int* flags)
{
    flagWrite(tno, flags, true);
}

void uvwrite_c(int tno, const double* preamble, const float* data, const int* flags, int n)
{
    Uv& uv = handle(tno);
    if (!writing(uv))
        fatal("Attempt to write to a uv data set opened read-only, in UVWRITE");
    const bool uvw = uv.preambleText == "uvw/time/baseline";
    const int nc = uvw ? 3 : 2;
    uvputvr_c(tno, IO_DBLE, "coord", preamble, nc);
    uvputvr_c(tno, IO_DBLE, "time", preamble + nc, 1);
    float bl = static_cast<float>(preamble[nc + 1]);
    uvputvr_c(tno, IO_REAL, "baseline", &bl, 1);
    int a1 = 0, a2 = 0;
    basantPair(preamble[nc + 1], a1, a2);
    uv.flags |= a1 == a2 ? UV_AUTO : UV_CROSS;
    if (n > 0) {
        if (uv.corrType == IO_INT2) {
            float maxabs = 0;
            for (int k = 0; k < 2 * n; ++k)
                maxabs = std::max(maxabs, std::fabs(data[k]));
            float tscale = maxabs > 0 ? maxabs / 32767.0f : 1.0f;
            std::vector<int> raw(2 * static_cast<size_t>(n));
            for (int k = 0; k < 2 * n; ++k)
                raw[k] = static_cast<int>(std::lround(data[k] / tscale));
            uvputvr_c(tno, IO_REAL, "tscale", &tscale, 1);
            putVar(tno, IO_INT2, "corr", raw.data(), 2 * n, true);
        } else if (uv.corrType == IO_CMPLX) {
            putVar(tno, IO_CMPLX, "corr", data, n, true);
        } else {
            putVar(tno, IO_REAL, "corr", data, 2 * n, true);
        }
        if (flags)
            putFlags(uv, false, flags, uv.corrCount, n);
        uv.corrCount += n;
    }
    uvnext_c(tno);
}

void uvwwrite_c(int tno, const float* data, const int* flags, int n)
{
    Uv& uv = handle(tno);
    if (!writing(uv))
        fatal("Attempt to write to a uv data set opened read-only, in UVWWRITE");
    if (n <= 0)
        return;
    putVar(tno, IO_CMPLX, "wcorr", data, n, true);
    if (flags)
        putFlags(uv, true, flags, uv.wcorrCount, n);
    uv.wcorrCount += n;
}

}  // extern "C"
