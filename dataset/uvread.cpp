// Record reading of uv data sets: the reading settings, the setup before the first record,
// channel and wide lines with flags from the masks, the preamble and the information queries.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "dataset/bug.h"
#include "dataset/hio.h"
#include "dataset/maskio.h"
#include "dataset/uvint.h"
#include "dataset/uvio.h"

namespace kestrum::uvi {

namespace {

constexpr double CKMS = 299792.458;

int lineKind(const char* type)
{
    if (!std::strcmp(type, "channel"))
        return LINE_CHANNEL;
    if (!std::strcmp(type, "wide"))
        return LINE_WIDE;
    if (!std::strcmp(type, "velocity"))
        return LINE_VELOCITY;
    if (!std::strcmp(type, "felocity"))
        return LINE_FELOCITY;
    return LINE_NONE;
}

// Validates and sets a line; false for an unknown line type.
bool setLine(Line& line, const char* type, int n, double start, double width, double step)
{
    int kind = lineKind(type);
    if (kind == LINE_NONE) {
        warn("Unrecognised line type \"%s\" ignored, in UVSET", type);
        return false;
    }
    if (kind == LINE_CHANNEL || kind == LINE_WIDE) {
        // Channel numbers beyond the int range cannot address any data.
        constexpr double big = 1e9;
        if (!(width >= 1 && step >= 1 && width < big && step < big) || (kind == LINE_WIDE && width > step))
            fatal("Bad width or step in UVSET(line)");
        if (!(start >= 1 && start < big))
            fatal("Bad start value in UVSET(line)");
        if (n < 0)
            fatal("Bad number of channels, in UVSET(line).");
        line = Line{kind, n, std::trunc(start) - 1, std::trunc(width), std::trunc(step)};
        return true;
    }
    if (!std::isfinite(start) || !std::isfinite(width) || !std::isfinite(step))
        fatal("Invalid line parameters in UVSET(line)");
    if (width < 0)
        fatal("Bad width in UVSET(line)");
    if (n < 0)
        fatal("Bad number of channels, in UVSET(line).");
    if ((width == 0 || n == 0) && !(start == 0 && width == 0 && step == 0))
        fatal("Invalid line parameters in UVSET(line)");
    line = Line{kind, n, start, width, step};
    return true;
}

// Checks a variable the reading needs; its index.
int require(Uv& uv, const char* name, int type)
{
    Variable* v = findVar(uv, name);
    if (!v)
        fatal("Variable %s is missing, in UVREAD", name);
    if (v->type != type)
        fatal("Variable %s has the wrong data type, in UVREAD", name);
    if (!v->hasValue)
        fatal("Variable %s was not initialised before it was required, in UVREAD", name);
    return v->index;
}

// The spectral set-up's variables (nschan, sfreq, sdf), each looked up once.
void requireSpectra(Uv& uv)
{
    if (uv.nschan < 0)
        uv.nschan = require(uv, "nschan", IO_INT);
    if (uv.sfreq < 0)
        uv.sfreq = require(uv, "sfreq", IO_DBLE);
    if (uv.sdf < 0)
        uv.sdf = require(uv, "sdf", IO_DBLE);
}

int lookup(Uv& uv, const char* name)
{
    Variable* v = findVar(uv, name);
    return v ? v->index : -1;
}

void watch(Uv& uv, int index, int flag)
{
    if (index >= 0)
        uv.vars[index].flags |= flag;
}

// Channels of a correlation variable: complex values, or (real, imaginary) pairs.
int channels(const Variable& v)
{
    return v.type == IO_CMPLX ? v.count() : v.count() / 2;
}

bool isWideLine(const Line& l)
{
    return l.kind == LINE_WIDE;
}

void openMask(Uv& uv, bool wide)
{
    bool& tried = wide ? uv.wmaskTried : uv.maskTried;
    if (tried)
        return;
    tried = true;
    int& mask = wide ? uv.wmask : uv.mask;
    mask = mkopen_c(uv.tno, wide ? "wflags" : "flags", "old");
    if (!mask)
        bug_c('w',
              wide ? "No flags found for wcorr -- assuming data are good"
                   : "No flags found for corr -- assuming data are good");
}

void setup(Uv& uv)
{
    uv.flags &= ~UV_SETUP;
    uv.flagCall = uv.wflagCall = -1;  // the amplitude clause may have changed
    uv.corr = lookup(uv, "corr");
    uv.wcorr = lookup(uv, "wcorr");
    if (uv.data.kind == LINE_NONE) {
        if (uv.corr >= 0)
            uv.data = Line{LINE_CHANNEL, 0, 0, 1, 1};
        else if (uv.wcorr >= 0)
            uv.data = Line{LINE_WIDE, 0, 0, 1, 1};
        else
            fatal("UV file contains neither corr nor wcorr, in UVREAD(defline)");
    }
    uv.coord = require(uv, "coord", IO_DBLE);
    uv.time = require(uv, "time", IO_DBLE);
    uv.baseline = require(uv, "baseline", IO_REAL);
    for (Variable& v : uv.vars)
        v.flags &= ~(VF_FREQ | VF_GEOM);

    bool needCorr = !isWideLine(uv.data) || (uv.refSet && !isWideLine(uv.ref));
    bool needWcorr = isWideLine(uv.data) || (uv.refSet && isWideLine(uv.ref));
    if (needCorr) {
        if (uv.corr < 0)
            fatal("Corr data missing, when channel linetype requested");
        int t = uv.vars[uv.corr].type;
        if (t == IO_INT2)
            uv.tscale = require(uv, "tscale", IO_REAL);
        else if (t != IO_REAL)
            fatal("Bad data type for variable corr, in UVREAD.");
        openMask(uv, false);
    }
    if (needWcorr) {
        if (uv.wcorr < 0)
            fatal("Wcorr missing, when wide linetype was requested");
        openMask(uv, true);
    }

    bool velocity = uv.data.kind == LINE_VELOCITY || uv.data.kind == LINE_FELOCITY;
    if (velocity || uv.wavelength) {
        if (isWideLine(uv.data)) {
            uv.wfreq = require(uv, "wfreq", IO_REAL);
            watch(uv, uv.wfreq, VF_FREQ);
        } else {
            uv.nschan = require(uv, "nschan", IO_INT);
            uv.sfreq = require(uv, "sfreq", IO_DBLE);
            uv.sdf = require(uv, "sdf", IO_DBLE);
            watch(uv, uv.nschan, VF_FREQ);
            watch(uv, uv.sfreq, VF_FREQ);
            watch(uv, uv.sdf, VF_FREQ);
        }
    }
    if (velocity) {
        uv.restfreq = require(uv, "restfreq", IO_DBLE);
        uv.veldop = require(uv, "veldop", IO_REAL);
        uv.vsource = require(uv, "vsource", IO_REAL);
        for (int i : {uv.restfreq, uv.veldop, uv.vsource})
            watch(uv, i, VF_FREQ);
    }
    uv.skyfreqValid = false;
    if (uv.planet) {
        for (const char* name : {"plmaj", "plmin", "plangle"})
            watch(uv, require(uv, name, IO_REAL), VF_GEOM);
        uv.flags |= UV_GEOM;
    }
    selectSetup(uv);
    if (uv.pre.empty()) {
        uv.pre = {PreEntry{PreEntry::UV, -1}, PreEntry{PreEntry::VAR, uv.time}, PreEntry{PreEntry::VAR, uv.baseline}};
    }
    if (uv.vars[uv.coord].count() < (uv.preUvw ? 3 : 2)) {
        if (canComputeW(uv))
            uv.wAntpos = true;
        else
            bug_c('w', "Unable to compute w coordinate -- setting this to zero");
    }
    if (uv.wAntpos) {
        for (const char* name : {"obsra", "obsdec", "lst", "antpos"})
            watch(uv, require(uv, name, IO_DBLE), VF_GEOM);
        watch(uv, lookup(uv, "antdiam"), VF_GEOM);
        uv.flags |= UV_GEOM;
    }
}

// The planet flux scale and coordinate rotation from the current planet variables.
void planetUpdate(Uv& uv)
{
    if (!uv.planet)
        return;
    double maj = uv.vars[lookup(uv, "plmaj")].reals()[0];
    double min = uv.vars[lookup(uv, "plmin")].reals()[0];
    double ang = uv.vars[lookup(uv, "plangle")].reals()[0];
    if (!uv.planetRefSet) {
        uv.planetRefSet = true;
        uv.plmaj = maj;
        uv.plmin = min;
        uv.plangle = ang;
    }
    if (maj > 0 && min > 0) {
        uv.fluxScale = (uv.plmaj * uv.plmaj) / (maj * maj);
        double t = (ang - uv.plangle) * M_PI / 180, f = maj / uv.plmaj;
        uv.rot = {std::cos(t) * f, -std::sin(t) * f, std::sin(t) * f, std::cos(t) * f};
    } else {
        uv.fluxScale = 1;
        uv.rot = {1, 0, 0, 1};
    }
}

// Sky frequency (GHz) of input channel k counted over the windows of "nschan".
double channelFrequency(Uv& uv, int k)
{
    const Variable& ns = uv.vars[uv.nschan];
    const Variable& sf = uv.vars[uv.sfreq];
    const Variable& sd = uv.vars[uv.sdf];
    int nwin = std::min({ns.count(), sf.count(), sd.count()});
    for (int w = 0; w < nwin; ++w) {
        if (k < ns.ints()[w] || w == nwin - 1)
            return sf.dbles()[w] + k * sd.dbles()[w];
        k -= ns.ints()[w];
    }
    return 0;
}

int windowOffset(Uv& uv, int first)
{
    const Variable& ns = uv.vars[uv.nschan];
    int off = 0;
    for (int w = 0; w < first && w < ns.count(); ++w)
        off += ns.ints()[w];
    return off;
}

struct Extracted {
    int n = 0;
    int start = 0;  // first input channel
};

// Input values of the data variable as float pairs (16-bit values still unscaled).
const float* inputValues(Uv& uv, Variable& v, int nin)
{
    materialize(uv, v);
    if (v.type == IO_INT2) {
        uv.inData.resize(2 * static_cast<size_t>(nin));
        const int* raw = v.ints();
        for (int k = 0; k < 2 * nin; ++k)
            uv.inData[k] = static_cast<float>(raw[k]);
        return uv.inData.data();
    }
    return v.reals();
}

// The record's input flags, read once per record: the mask, then the amplitude clause in force.
const int* recordFlags(Uv& uv, bool wide, const Variable& v, const float* in, int nin)
{
    std::vector<int>& flags = wide ? uv.inWFlags : uv.inFlags;
    int64_t& cachedCall = wide ? uv.wflagCall : uv.flagCall;
    if (cachedCall == uv.callno && static_cast<int>(flags.size()) == nin)
        return flags.data();
    cachedCall = uv.callno;
    flags.resize(nin);
    int mask = wide ? uv.wmask : uv.mask;
    int64_t count = wide ? uv.wcorrCount : uv.corrCount;
    if (mask && nin > 0)
        mkread_c(mask, MK_FLAGS, flags.data(), count - nin, nin, nin);
    else
        std::fill(flags.begin(), flags.end(), 1);
    if (uv.ampApply && uv.ampGroup) {
        const Group& g = *uv.ampGroup;
        double rs = v.type == IO_INT2 && !wide ? uv.vars[uv.tscale].reals()[0] : 1.0;
        double lo = g.amplo / uv.fluxScale, hi = g.amphi / uv.fluxScale;
        for (int k = 0; k < nin; ++k) {
            double re = in[2 * k] * rs, im = in[2 * k + 1] * rs;
            double a2 = re * re + im * im;
            bool inside = a2 >= lo * lo && a2 <= hi * hi;
            if (inside == g.ampExclude)
                flags[k] = 0;
        }
    }
    return flags.data();
}

// Extracts a channel or wide line from the current record into out/oflags (capacity cap).
Extracted extract(Uv& uv, const Line& line, float* out, int* oflags, int cap, const char* smallMsg)
{
    const bool wide = isWideLine(line);
    Variable& v = uv.vars[wide ? uv.wcorr : uv.corr];
    const int nin = channels(v);
    const float* in = inputValues(uv, v, nin);
    const int* flags = recordFlags(uv, wide, v, in, nin);
    double scale = uv.fluxScale;
    if (!wide && v.type == IO_INT2)
        scale *= uv.vars[uv.tscale].reals()[0];
    int start = static_cast<int>(line.start), width = static_cast<int>(line.width), step = static_cast<int>(line.step);
    int usable = nin;
    if (line.kind == LINE_CHANNEL && uv.winApply && uv.winGroup) {
        const Group& g = *uv.winGroup;
        if (uv.nschan < 0)
            uv.nschan = require(uv, "nschan", IO_INT);
        const Variable& ns = uv.vars[uv.nschan];  // the selection checked the first window
        start += windowOffset(uv, g.winFirst);
        usable = windowOffset(uv, std::min(g.winLast + 1, ns.count()));
    }
    int n = line.n;
    if (n == 0)
        n = (usable - start) / step;
    if (start < 0 || n < 1 || static_cast<int64_t>(n - 1) * step + start + width > usable)
        fatal("Illegal channel range specified, in UVREAD");
    if (n > cap)
        fatal("%s", smallMsg);

    if (width == 1 && (step == 1 || n == 1)) {
        if (scale == 1.0 && v.type != IO_INT2) {
            std::memcpy(out, in + 2 * start, sizeof(float) * 2 * n);
        } else {
            const float s = static_cast<float>(scale);
            for (int k = 0; k < 2 * n; ++k)
                out[k] = in[2 * start + k] * s;
        }
        std::memcpy(oflags, flags + start, sizeof(int) * n);
    } else {
        for (int j = 0; j < n; ++j) {
            int first = start + j * step, good = 0;
            double re = 0, im = 0;
            for (int k = first; k < first + width; ++k) {
                if (!flags[k])
                    continue;
                re += in[2 * k];
                im += in[2 * k + 1];
                ++good;
            }
            if (good) {
                out[2 * j] = static_cast<float>(re * scale / good);
                out[2 * j + 1] = static_cast<float>(im * scale / good);
            } else {
                out[2 * j] = out[2 * j + 1] = 0;
            }
            oflags[j] = good >= uv.gflag && good > 0;
        }
    }
    return Extracted{n, start};
}

// Divides the data by the reference line of the record, or flags it all.
void applyReference(Uv& uv, float* data, int* flags, int n)
{
    float ref[2];
    int rflag = 0;
    extract(uv, uv.ref, ref, &rflag, 1, "Callers buffer too small for channel data, in UVREAD");
    double d = double(ref[0]) * ref[0] + double(ref[1]) * ref[1];
    if (!rflag || d == 0) {
        std::fill(flags, flags + n, 0);
        return;
    }
    for (int k = 0; k < n; ++k) {
        double re = data[2 * k], im = data[2 * k + 1];
        data[2 * k] = static_cast<float>((re * ref[0] + im * ref[1]) / d);
        data[2 * k + 1] = static_cast<float>((im * ref[0] - re * ref[1]) / d);
    }
}

void composePreamble(Uv& uv, double* pre)
{
    double freq = 1;
    if (uv.wavelength) {
        if (!uv.skyfreqValid || (uv.flags & UV_FREQ)) {
            uv.skyfreq = skyFrequency(uv, uv.winGroup && uv.winApply ? uv.winGroup->winFirst : 0);
            uv.skyfreqValid = true;
            uv.flags &= ~UV_FREQ;
        }
        freq = uv.skyfreq;
    }
    int p = 0;
    for (const PreEntry& e : uv.pre) {
        if (e.kind == PreEntry::VAR) {
            const Variable* v = varAt(uv, e.var);
            double x = 0;
            if (v && v->hasValue) {
                if (v->type == IO_INT)
                    x = v->ints()[0];
                else if (v->type == IO_REAL)
                    x = v->reals()[0];
                else if (v->type == IO_DBLE)
                    x = v->dbles()[0];
            }
            pre[p++] = x;
            continue;
        }
        const Variable& c = uv.vars[uv.coord];
        double u = c.count() > 0 ? c.dbles()[0] : 0, v = c.count() > 1 ? c.dbles()[1] : 0;
        pre[p++] = (uv.rot[0] * u + uv.rot[1] * v) * freq;
        pre[p++] = (uv.rot[2] * u + uv.rot[3] * v) * freq;
        if (!uv.preUvw)
            continue;
        double w = c.count() >= 3 ? c.dbles()[2] : 0.0;
        if (uv.wAntpos) {
            int a1 = 0, a2 = 0;
            basantPair(uv.vars[uv.baseline].reals()[0], a1, a2);
            int n = static_cast<int>(uv.antW.size());
            w = a1 >= 1 && a2 >= 1 && a1 <= n && a2 <= n ? uv.antW[a2 - 1] - uv.antW[a1 - 1] : 0.0;
        }
        pre[p++] = w * freq;
    }
}

// Doppler factor of the observatory against the source.
double doppler(Uv& uv)
{
    double beta = (numericValue(uv, "veldop", 0) - numericValue(uv, "vsource", 0)) / CKMS;
    return std::sqrt(1 - beta * beta) / (1 - beta);
}

int firstWindow(const Uv& uv)
{
    return uv.winGroup && uv.winApply ? uv.winGroup->winFirst : 0;
}

// Resamples the good input channels of the record onto the velocity grid.
int readVelocity(Uv& uv, float* out, int* oflags, int cap)
{
    Variable& v = uv.vars[uv.corr];
    if (uv.data.kind == LINE_FELOCITY) {
        Line& l = uv.data;
        double f = CKMS / (CKMS + l.start);
        l = Line{LINE_VELOCITY, l.n, l.start * f, l.width * f * f, l.step * f * f};
    }
    Line l = uv.data;
    const double dop = doppler(uv);
    const Variable& ns = uv.vars[uv.nschan];
    const double* sf = uv.vars[uv.sfreq].dbles();
    const double* sd = uv.vars[uv.sdf].dbles();
    const double* rf = uv.vars[uv.restfreq].dbles();
    const int nspect =
        std::min({ns.count(), uv.vars[uv.sfreq].count(), uv.vars[uv.sdf].count(), uv.vars[uv.restfreq].count()});
    if (nspect > MAXWIN)
        fatal("Too many windows, in UVREAD(velocity)");
    const int w0 = firstWindow(uv);
    if (l.n == 0 || l.width == 0) {
        if (w0 >= nspect)
            fatal("Invalid window selection, in UVREAD(skyfreq)");
        const int nch = ns.ints()[w0];
        const int n = l.n ? l.n : nch;
        const int k = (nch - n) / 2;
        if (rf[w0] <= 0)
            fatal("Invalid rest frequency when setting default linetype");
        l.start = (1 - dop * (sf[w0] + k * sd[w0]) / rf[w0]) * CKMS;
        // One output channel per input channel in their order, whichever way the frequency
        // runs: the width is a channel's velocity extent, the step follows the channels.
        l.step = -CKMS * sd[w0] / rf[w0];
        l.width = std::fabs(l.step);
        l.n = n;
        l.kind = LINE_VELOCITY;
    }
    if (l.n < 1)
        fatal("Bad number of channels, in UVREAD(velocity)");
    if (l.n > cap)
        fatal("Callers buffer too small for velocity data, in UVREAD(velocity)");
    const int n = l.n;
    const int nin = channels(v);
    const float* in = inputValues(uv, v, nin);
    const int* flags = recordFlags(uv, false, v, in, nin);
    uv.velAcc.assign(2 * static_cast<size_t>(n), 0.0);
    uv.velWeight.assign(n, 0.0);
    const double g = l.width / (2 * std::fabs(l.step));
    int off = 0;
    for (int w = 0; w < nspect; off += ns.ints()[w], ++w) {
        if (uv.winGroup && uv.winApply && !uv.winGroup->win[w])
            continue;
        if (rf[w] <= 0)
            fatal("Invalid rest frequency of window %d, in UVREAD(velocity)", w + 1);
        const double x0 = ((1 - dop * sf[w] / rf[w]) * CKMS - l.start) / l.step;
        const double dx = -CKMS * sd[w] / (l.step * rf[w]);
        if (dx == 0)
            fatal("File velocity increment is zero, in UVREAD(velocity).");
        const double h = std::fabs(dx) / 2, invh = 1 / h;
        double* acc = uv.velAcc.data();
        double* wsum = uv.velWeight.data();
        for (int i = 0; i < ns.ints()[w] && off + i < nin; ++i) {
            const int k = off + i;
            if (!flags[k])
                continue;
            const double x = x0 + i * dx;
            // Output channels whose overlap with this input channel is positive; those at the
            // ends of the closed range would add nothing.
            const double lo = std::floor(x - h - g) + 1, hi = std::ceil(x + h + g) - 1;
            if (hi < 0 || lo > n - 1)
                continue;
            const int jlo = static_cast<int>(std::max(0.0, lo)), jhi = static_cast<int>(std::min(double(n - 1), hi));
            const double re = in[2 * k], im = in[2 * k + 1];
            for (int j = jlo; j <= jhi; ++j) {
                const double wt = (std::min(j + g, x + h) - std::max(j - g, x - h)) * invh;
                if (wt <= 0)
                    continue;
                acc[2 * j] += re * wt;
                acc[2 * j + 1] += im * wt;
                wsum[j] += wt;
            }
        }
    }
    double scale = uv.fluxScale;
    if (v.type == IO_INT2)
        scale *= uv.vars[uv.tscale].reals()[0];
    for (int j = 0; j < n; ++j) {
        const double wsum = uv.velWeight[j];
        oflags[j] = wsum > 0;
        out[2 * j] = wsum > 0 ? static_cast<float>(uv.velAcc[2 * j] * scale / wsum) : 0.0f;
        out[2 * j + 1] = wsum > 0 ? static_cast<float>(uv.velAcc[2 * j + 1] * scale / wsum) : 0.0f;
    }
    uv.lastLine = l;
    uv.lastWinFirst = w0;
    uv.lastStart = 0;
    return n;
}

// The window holding input channel k.
int windowOf(Uv& uv, int k)
{
    if (uv.nschan < 0)
        return 0;
    const Variable& ns = uv.vars[uv.nschan];
    int w = 0;
    while (w < ns.count() - 1 && k >= ns.ints()[w])
        k -= ns.ints()[w++];
    return w;
}

// Noise variance of the current record's pair (0 when it cannot be computed).
double variance(Uv& uv)
{
    const Line& l = uv.lastLine.kind ? uv.lastLine : uv.data;
    const bool wide = isWideLine(l), velocity = l.kind == LINE_VELOCITY || l.kind == LINE_FELOCITY;
    const char* tsys = wide ? "wsystemp" : "systemp";
    if (uv.varianceState == 0) {
        std::vector<const char*> names = {"nants", "inttime", "jyperk", tsys};
        if (wide)
            names.push_back("wwidth");
        else if (velocity)
            names.push_back("restfreq");
        else
            names.insert(names.end(), {"sdf", "nschan"});
        uv.varianceState = 1;
        for (const char* name : names)
            if (!findVar(uv, name))
                uv.varianceState = -1;
        if (uv.varianceState == 1) {
            uvvarini_c(uv.tno, &uv.varianceHandle);
            for (const char* name : names)
                uvvarset_c(uv.varianceHandle, name);
        }
    }
    if (uv.varianceState < 0)
        return 0;
    if (uvvarupd_c(uv.varianceHandle) || uv.varianceTable.empty()) {
        const int nants = std::min(toInt(numericValue(uv, "nants", 0)), 4096);
        double bw = 0;
        if (wide) {
            const Variable* ww = findVar(uv, "wwidth");
            bw = ww->hasValue && uv.lastStart < ww->count() ? l.width * ww->reals()[uv.lastStart] : 0;
        } else if (velocity) {
            const Variable* r = findVar(uv, "restfreq");
            bw = r->hasValue && uv.lastWinFirst < r->count() ? l.width * r->dbles()[uv.lastWinFirst] / CKMS : 0;
        } else {
            const Variable* sdf = findVar(uv, "sdf");
            if (uv.nschan < 0)
                uv.nschan = lookup(uv, "nschan");
            int w = windowOf(uv, uv.lastStart);
            bw = sdf->hasValue && w < sdf->count() && sdf->type == IO_DBLE ? l.width * sdf->dbles()[w] : 0;
        }
        bw = std::fabs(bw);
        const double jyperk = numericValue(uv, "jyperk", 0), inttime = numericValue(uv, "inttime", 0);
        const double f = bw > 0 && inttime > 0 ? jyperk * jyperk / inttime / (bw * 2e9) * uv.fluxScale : 0;
        uv.varianceNants = std::max(nants, 0);
        uv.varianceTable.assign(static_cast<size_t>(uv.varianceNants) * uv.varianceNants + 1, 0.0);
        const Variable* t = findVar(uv, tsys);
        const int nt = t->hasValue && t->type == IO_REAL ? t->count() : 0;
        for (int i = 0; i < uv.varianceNants && nt > 0; ++i)
            for (int j = 0; j < uv.varianceNants; ++j) {
                double v;
                if (nt < uv.varianceNants) {
                    v = t->reals()[0] * t->reals()[0] * f;
                } else {
                    int base = 0;
                    if (!wide && uv.nschan >= 0 && nt >= uv.varianceNants * uv.vars[uv.nschan].count())
                        base = windowOf(uv, uv.lastStart) * uv.varianceNants;
                    v = f * t->reals()[base + i] * t->reals()[base + j];
                }
                uv.varianceTable[static_cast<size_t>(i) * uv.varianceNants + j] = v;
            }
    }
    int a1 = 0, a2 = 0;
    basantPair(uv.vars[uv.baseline].reals()[0], a1, a2);
    if (a1 < 1 || a2 < 1 || a1 > uv.varianceNants || a2 > uv.varianceNants)
        return 0;
    double v = uv.varianceTable[static_cast<size_t>(a1 - 1) * uv.varianceNants + (a2 - 1)];
    const Variable* pol = findVar(uv, "pol");
    if (pol && numericValue(uv, "pol", 0) > 0)
        v /= 2;
    return v;
}

}  // namespace

double numericValue(Uv& uv, const char* name, double def)
{
    const Variable* v = findVar(uv, name);
    if (!v || !v->hasValue || v->count() < 1)
        return def;
    switch (v->type) {
    case IO_INT:
        return v->ints()[0];
    case IO_REAL:
        return v->reals()[0];
    case IO_DBLE:
        return v->dbles()[0];
    default:
        return def;
    }
}

bool canComputeW(Uv& uv)
{
    for (const char* name : {"obsra", "obsdec", "lst", "antpos"})
        if (!findVar(uv, name))
            return false;
    return true;
}

void geometryUpdate(Uv& uv)
{
    if (!(uv.flags & UV_GEOM))
        return;
    uv.flags &= ~UV_GEOM;
    planetUpdate(uv);
    if (!uv.wAntpos)
        return;
    const Variable& pos = uv.vars[lookup(uv, "antpos")];
    const int nants = pos.count() / 3;
    if (nants > MAXANT)
        fatal("Too many antennas in uvread_updated_uvw");
    const double ha = numericValue(uv, "lst", 0) - numericValue(uv, "obsra", 0);
    const double dec = numericValue(uv, "obsdec", 0);
    uv.antU.resize(nants);
    uv.antV.resize(nants);
    uv.antW.resize(nants);
    const double* x = pos.dbles();
    for (int i = 0; i < nants; ++i) {
        const double X = x[i], Y = x[nants + i], Z = x[2 * nants + i];
        const double t = Y * std::sin(ha) - X * std::cos(ha);
        uv.antU[i] = X * std::sin(ha) + Y * std::cos(ha);
        uv.antV[i] = std::sin(dec) * t + Z * std::cos(dec);
        uv.antW[i] = Z * std::sin(dec) - t * std::cos(dec);
    }
}

double skyFrequency(Uv& uv, int firstWindow)
{
    const Line& l = uv.data;
    if (l.kind == LINE_VELOCITY || l.kind == LINE_FELOCITY) {
        const Line& used = uv.lastLine.kind == LINE_VELOCITY ? uv.lastLine : l;
        const Variable* r = findVar(uv, "restfreq");
        double rest = r && r->hasValue && r->type == IO_DBLE && firstWindow < r->count() ? r->dbles()[firstWindow] : 0;
        return (1 - used.start / CKMS) * rest / doppler(uv);
    }
    if (isWideLine(l)) {
        if (uv.wfreq < 0)
            uv.wfreq = require(uv, "wfreq", IO_REAL);
        const Variable& wf = uv.vars[uv.wfreq];
        double sum = 0;
        int count = 0;
        for (int k = static_cast<int>(l.start); k < l.start + l.width && k < wf.count(); ++k, ++count)
            sum += wf.reals()[k];
        return count ? sum / count : 0;
    }
    requireSpectra(uv);
    int start = static_cast<int>(l.start) + windowOffset(uv, firstWindow);
    int width = std::max(1, static_cast<int>(l.width));
    double sum = 0;
    for (int k = start; k < start + width; ++k)
        sum += channelFrequency(uv, k);
    return sum / width;
}

}  // namespace kestrum::uvi

using namespace kestrum::uvi;

extern "C" {

void uvset_c(int tno, const char* object, const char* type, int n, double p1, double p2, double p3)
{
    Uv& uv = handle(tno);
    uv.flags |= UV_SETUP;
    if (!std::strcmp(object, "data")) {
        setLine(uv.data, type, n, p1, p2, p3);
    } else if (!std::strcmp(object, "reference")) {
        if (setLine(uv.ref, type, 1, p1, p2, p2))
            uv.refSet = true;
    } else if (!std::strcmp(object, "coord")) {
        if (!std::strcmp(type, "wavelength"))
            uv.wavelength = true;
        else if (!std::strcmp(type, "nanosec"))
            uv.wavelength = false;
        else
            warn("Unrecognised coordinate type \"%s\" ignored, in UVSET", type);
    } else if (!std::strcmp(object, "planet")) {
        uv.planet = true;
        uv.planetRefSet = p1 > 0;
        uv.plmaj = p1;
        uv.plmin = p2;
        uv.plangle = p3;
    } else if (!std::strcmp(object, "preamble")) {
        std::string text = type;
        if (uv.flags & UV_NEW) {
            if (text != "uvw/time/baseline" && text != "uv/time/baseline")
                fatal("Unsupported preamble \"%s\",in UVSET.", type);
            uv.preambleText = text;
            return;
        }
        std::vector<PreEntry> pre;
        bool uvw = false;
        size_t pos = 0;
        for (;;) {
            size_t slash = text.find('/', pos);
            std::string name = text.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
            if (pre.size() == MAXPRE)
                fatal("Too many parameters in preamble \"%s\".", type);
            Variable* v = findVar(uv, name.c_str());
            if (name == "uv" || name == "uvw") {
                Variable* c = findVar(uv, "coord");
                if (!c || c->type != IO_DBLE)
                    fatal("Invalid preamble \"%s\".", name.c_str());
                pre.push_back(PreEntry{name == "uv" ? PreEntry::UV : PreEntry::UVW, -1});
                uvw = uvw || name == "uvw";
            } else {
                if (v && v->type != IO_INT && v->type != IO_REAL && v->type != IO_DBLE)
                    fatal("Invalid preamble \"%s\".", name.c_str());
                pre.push_back(PreEntry{PreEntry::VAR, v ? v->index : -1});
            }
            if (slash == std::string::npos)
                break;
            pos = slash + 1;
        }
        uv.pre = std::move(pre);
        uv.preUvw = uvw;
        uv.preambleText = text;
    } else if (!std::strcmp(object, "selection")) {
        if (!std::strcmp(type, "amplitude"))
            uv.ampApply = n >= 1;
        else if (!std::strcmp(type, "window"))
            uv.winApply = n >= 1;
        else
            warn("Unrecognised type %s ignored, in UVSET(amplitude)", type);
    } else if (!std::strcmp(object, "gflag")) {
        if (n < 1)
            fatal("Invalid value for average channel flagging tolerance");
        uv.gflag = n;
    } else if (!std::strcmp(object, "flags")) {
        if (!std::strcmp(type, "logical"))
            uv.flagMode = MK_FLAGS;
        else if (!std::strcmp(type, "runs"))
            uv.flagMode = MK_RUNS;
        else
            fatal("Unrecognised flags mode '%s', in UVSET", type);
    } else if (!std::strcmp(object, "corr")) {
        int t = !std::strcmp(type, "r") ? IO_REAL
            : !std::strcmp(type, "c")   ? IO_CMPLX
            : !std::strcmp(type, "j")   ? IO_INT2
                                        : 0;
        if (!t)
            fatal("Unsupported correlation type %s, in UVSET", type);
        Variable* v = findVar(uv, "corr");
        uv.corrType = v ? v->type : t;
    } else {
        warn("Unrecognised object \"%s\" ignored, in UVSET.", object);
    }
}

void uvread_c(int tno, double* preamble, float* data, int* flags, int n, int* nread)
{
    Uv& uv = handle(tno);
    *nread = 0;
    uv.mark = uv.callno + 1;
    uv.flags &= ~(VF_COPY | VF_UPDATE);
    for (;;) {
        for (;;) {
            if (uv.maxvis >= 0 && uv.callno > uv.maxvis)
                return;
            if (scanRecord(uv, nullptr) < 0)
                return;
            if (uv.flags & UV_SETUP)
                setup(uv);
            if (changed(uv, uv.corr))
                uv.corrCount += channels(uv.vars[uv.corr]);
            if (changed(uv, uv.wcorr))
                uv.wcorrCount += channels(uv.vars[uv.wcorr]);
            if (changed(uv, isWideLine(uv.data) ? uv.wcorr : uv.corr))
                break;
        }
        if (selectRecord(uv))
            break;
    }
    geometryUpdate(uv);
    if (uv.data.kind == LINE_VELOCITY || uv.data.kind == LINE_FELOCITY) {
        *nread = readVelocity(uv, data, flags, n);
        uv.lastFlagOffset = -1;
        composePreamble(uv, preamble);
        if (uv.refSet)
            applyReference(uv, data, flags, *nread);
        return;
    }
    const char* small = isWideLine(uv.data) ? "Callers buffer too small for wide data, in UVREAD"
                                            : "Callers buffer too small for channel data, in UVREAD";
    Extracted e = extract(uv, uv.data, data, flags, n, small);
    uv.lastLine = uv.data;
    uv.lastLine.n = e.n;
    uv.lastWinFirst = uv.winGroup && uv.winApply ? uv.winGroup->winFirst : 0;
    uv.lastFlagOffset = (isWideLine(uv.data) ? uv.wcorrCount : uv.corrCount) -
        channels(uv.vars[isWideLine(uv.data) ? uv.wcorr : uv.corr]) + e.start;
    uv.lastStart = e.start;
    *nread = e.n;
    composePreamble(uv, preamble);
    if (uv.refSet)
        applyReference(uv, data, flags, e.n);
}

void uvwread_c(int tno, float* data, int* flags, int n, int* nread)
{
    Uv& uv = handle(tno);
    *nread = 0;
    if (uv.wcorr < 0 || !uv.vars[uv.wcorr].hasValue)
        return;
    openMask(uv, true);
    Line wide{LINE_WIDE, 0, 0, 1, 1};
    Extracted e = extract(uv, wide, data, flags, n, "Callers buffer too small for wide data, in UVWREAD");
    *nread = e.n;
    if (uv.refSet)
        applyReference(uv, data, flags, e.n);
}

void uvinfo_c(int tno, const char* object, double* data)
{
    Uv& uv = handle(tno);
    const Line& l = uv.lastLine.kind ? uv.lastLine : uv.data;
    if (!std::strcmp(object, "visno")) {
        data[0] = static_cast<double>(uv.callno);
    } else if (!std::strcmp(object, "amprange")) {
        const Group* g = uv.ampGroup;
        if (!g) {
            for (const Group& gr : uv.groups)
                if (gr.ampSet)
                    g = &gr;
        }
        if (g) {
            data[0] = g->ampExclude ? -1 : 1;
            data[1] = g->amplo;
            data[2] = g->amphi;
        } else {
            data[0] = 0;
        }
    } else if (!std::strcmp(object, "line")) {
        const bool vel = l.kind == LINE_VELOCITY || l.kind == LINE_FELOCITY;
        data[0] = l.kind;
        data[1] = l.n;
        data[2] = vel ? l.start : l.start + 1;
        data[3] = l.width;
        data[4] = l.step;
        data[5] = vel ? uv.lastWinFirst + 1 : 0;
    } else if (!std::strcmp(object, "variance")) {
        data[0] = variance(uv);
    } else if (!std::strcmp(object, "sfreq") || !std::strcmp(object, "frequency") ||
               !std::strcmp(object, "bandwidth") || !std::strcmp(object, "restfreq") ||
               !std::strcmp(object, "velocity") || !std::strcmp(object, "felocity")) {
        const std::string obj = object;
        if (l.kind == LINE_VELOCITY || l.kind == LINE_FELOCITY) {
            const Variable* rv = findVar(uv, "restfreq");
            const double r = rv && rv->hasValue && rv->type == IO_DBLE && uv.lastWinFirst < rv->count()
                ? rv->dbles()[uv.lastWinFirst]
                : 0;
            const double dop = doppler(uv);
            for (int j = 0; j < l.n; ++j) {
                const double v = l.start + j * l.step;
                if (obj == "velocity")
                    data[j] = v;
                else if (obj == "felocity")
                    data[j] = v * CKMS / (CKMS - v);
                else if (obj == "restfreq")
                    data[j] = r;
                else if (obj == "frequency")
                    data[j] = (1 - v / CKMS) * r;
                else if (obj == "sfreq")
                    data[j] = (1 - v / CKMS) * r / dop;
                else
                    data[j] = std::fabs(static_cast<float>(l.width) * static_cast<float>(r) / static_cast<float>(CKMS));
            }
            return;
        }
        const int width = static_cast<int>(l.width), step = static_cast<int>(l.step);
        if (isWideLine(l)) {
            if (obj == "velocity" || obj == "felocity" || obj == "restfreq")
                fatal("Invalid object for wide linetype, in UVINFO\n");
            if (uv.wfreq < 0)
                uv.wfreq = require(uv, "wfreq", IO_REAL);
            if (obj == "bandwidth" && uv.wwidth < 0)
                uv.wwidth = require(uv, "wwidth", IO_REAL);
            const Variable& src = uv.vars[obj == "bandwidth" ? uv.wwidth : uv.wfreq];
            for (int j = 0; j < l.n; ++j) {
                double sum = 0;
                for (int k = uv.lastStart + j * step; k < uv.lastStart + j * step + width; ++k)
                    sum += k < src.count() ? src.reals()[k] : 0;
                data[j] = obj == "bandwidth" ? sum : sum / width;
            }
            return;
        }
        requireSpectra(uv);
        bool needRest = obj == "velocity" || obj == "felocity" || obj == "restfreq";
        if (needRest && uv.restfreq < 0)
            uv.restfreq = require(uv, "restfreq", IO_DBLE);
        double dop = 1;
        if (obj == "velocity" || obj == "felocity" || obj == "frequency") {
            const Variable* vd = findVar(uv, "veldop");
            const Variable* vs = findVar(uv, "vsource");
            double beta = ((vd && vd->hasValue && vd->type == IO_REAL ? vd->reals()[0] : 0) -
                           (vs && vs->hasValue && vs->type == IO_REAL ? vs->reals()[0] : 0)) /
                CKMS;
            dop = std::sqrt(1 - beta * beta) / (1 - beta);
        }
        const Variable& ns = uv.vars[uv.nschan];
        for (int j = 0; j < l.n; ++j) {
            double sum = 0;
            for (int k = uv.lastStart + j * step; k < uv.lastStart + j * step + width; ++k) {
                int w = 0, kk = k;
                while (w < ns.count() - 1 && kk >= ns.ints()[w])
                    kk -= ns.ints()[w++];
                double f = uv.vars[uv.sfreq].dbles()[w] + kk * uv.vars[uv.sdf].dbles()[w];
                double r = needRest ? uv.vars[uv.restfreq].dbles()[w] : 0;
                if ((obj == "velocity" || obj == "felocity") && r <= 0)
                    fatal("Cannot determine velocity as rest frequency is 0");
                if (obj == "velocity")
                    sum += (1 - f * dop / r) * CKMS;
                else if (obj == "felocity")
                    sum += (r / (f * dop) - 1) * CKMS;
                else if (obj == "restfreq")
                    sum += r;
                else if (obj == "bandwidth")
                    sum += std::fabs(uv.vars[uv.sdf].dbles()[w]);
                else if (obj == "frequency")
                    sum += f * dop;
                else
                    sum += f;
            }
            data[j] = obj == "bandwidth" ? sum : sum / width;
        }
    } else {
        fatal("Unrecognised object %s, in UVINFO", object);
    }
}

}  // extern "C"
