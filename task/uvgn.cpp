// Antenna-gain, delay and bandpass calibration of uv records.
//
// The "gains" item stays open while a data set is calibrated: two solutions (the last at or
// before the record's time and the first after it) are held in memory and moved along with the
// record times. Bandpass solutions and their frequencies are loaded whole and matched to the
// record's channels by sky frequency. What a gain entry (antenna and feed) contributes to a
// record - its gain, and per channel its bandpass and delay factor - is worked out once and kept
// while it stays the same, so that a record costs one pass over its channels.
#include "task/uvgn.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "dataset/bug.h"
#include "dataset/headio.h"
#include "dataset/hio.h"
#include "dataset/uvio.h"
#include "task/basant.h"

namespace {

using cplx = std::complex<double>;
using cplxf = std::complex<float>;

constexpr int kMaxAnts = 64;
constexpr int kMaxSpect = 16;
constexpr int kMaxBpSols = 1024;
constexpr double kBpBound = 1e20;

[[noreturn]] void fatal(const std::string& msg)
{
    bug_c('f', msg.c_str());
    __builtin_unreachable();
}

// An item transfer failed: say which step, then end with the system's text.
[[noreturn]] void ioFail(const char* step, int iostat)
{
    bug_c('w', (std::string("I/O error when ") + step + ", in Gains routines.").c_str());
    bugno_c('f', iostat);
    __builtin_unreachable();
}

bool usable(cplx g)
{
    return (g.real() != 0 || g.imag() != 0) && std::isfinite(g.real()) && std::isfinite(g.imag());
}

// g_b moved towards g_a by the fraction f: amplitude linear, phase along the shorter arc.
// f = 0 gives gb, f = 1 gives ga.
cplx interpolate(cplx ga, cplx gb, double f)
{
    if (ga == gb)
        return gb;
    cplx r = ga / gb;
    double ar = std::abs(r);
    return gb * (1.0 + (ar - 1.0) * f) * std::polar(1.0, f * std::arg(r));
}

// One gain solution held in memory. Index 0 stands for "before the first solution" and
// nsols + 1 for "after the last"; both hold no gains.
struct Solution {
    int index = 0;
    double time = 0;
    std::vector<cplx> gains;
    std::vector<char> good;
};

struct Window {
    int nchan = 0;
    double sfreq = 0;
    double sdf = 0;
};

// What the record's channels are: the line and the windows they come from.
struct Setup {
    int wide = 0;
    int kind = 0;
    int start = 0, width = 1, step = 1, nchan = 0;
    std::vector<int> nschan;
    std::vector<double> sfreq, sdf;  // for wide data: "wfreq" and "wwidth"
    bool operator==(const Setup&) const = default;
};

// What calibration applies for one gain entry (antenna and feed), worked out once per record
// time and shared by every baseline of that antenna.
struct EntryFactor {
    double gainTime = NAN;  // the time the gain part is for
    bool hasGain = true;
    cplx gain{1, 0};
    cplx tau{0, 0};  // the antenna's interpolated delay term
    // Bandpass times delay factor per record channel (re, im), 0 where the bandpass is missing,
    // and the generation and delay term it was worked out for.
    std::vector<float> unit;
    bool complete = false;  // no channel is missing
    unsigned unitGen = 0;
    cplx unitTau{0, 0};
    // The unit factors times the gain, and the gain that was.
    std::vector<float> factor;
    bool factorValid = false;
    cplx factorGain{0, 0};
};

// A per-baseline table of channel gains ("cgains" or "wgains").
struct BaselineTable {
    bool on = false;
    int ngains = 0;  // channels per baseline
    int nbase = 0;
    std::vector<cplxf> values;
};

struct Calibration {
    bool active = false;
    int tno = 0;
    bool dogains = false, dotau = false;
    bool perChannel = false;  // bandpass or delay terms: factors that differ from channel to channel
    int nants = kMaxAnts, nfeeds = 1, ntau = 0, ngains = kMaxAnts;

    // Gains.
    int nsols = 0;
    double interval = 0;
    int item = 0;
    Solution earlier, later;

    // Bandpass.
    bool havePass = false;
    int nchan0 = 0, nbpsols = 0;
    std::vector<Window> bpWindows;
    std::vector<int> bpOffset;  // first bandpass channel of each window
    std::vector<cplxf> bp;  // solutions, each ngains x nchan0
    std::vector<double> bpTimes;  // nbpsols + 2 entries, with the two bounds
    double freq0 = 0;
    int bpInterval = -1;
    double bpFraction = 0;
    bool warnedAveraging = false;

    // The record set-up last seen and what was derived from it.
    bool haveSetup = false;
    Setup setup, scratch;
    double setupVisno = -2;  // the record number and line the set-up was last checked at
    double setupLine[6] = {};
    bool mustCompare = false;
    std::vector<double> chanFreq;  // sky frequency of each record channel (GHz)
    std::vector<float> chanLogRatio;  // log(chanFreq / freq0), for the delay terms' power law
    std::vector<unsigned char> anchor;  // channels where the delay phase is computed afresh
    std::vector<double> runStep;  // at an anchor: the frequency step to the next channel
    std::vector<int> coverStart;  // per record channel: its bandpass channels in cover[]
    std::vector<int> cover;
    unsigned generation = 1;  // bumped when the matched bandpass must be recomputed
    std::vector<unsigned> matchedGen;  // per gain entry
    std::vector<std::vector<cplxf>> matched;  // per gain entry, per record channel (0: none)

    std::vector<EntryFactor> entries;  // per gain entry

    BaselineTable cgains, wgains;
};

Calibration calib;

// ---------------------------------------------------------------------------------------------
// Gains.

off_t solutionOffset(int s)
{
    return 8 + off_t(s - 1) * (8 + 8 * off_t(calib.ngains));
}

double solutionTime(int s, const char* step = "reading gains entry")
{
    if (s <= 0)
        return -INFINITY;
    if (s > calib.nsols)
        return INFINITY;
    double t;
    int iostat = 0;
    hreadd_c(calib.item, &t, solutionOffset(s), 8, &iostat);
    if (iostat)
        ioFail(step, iostat);
    return t;
}

void loadSolution(Solution& sol, int s, const char* timeStep = "reading gains entry")
{
    sol.index = s;
    sol.gains.assign(calib.ngains, cplx(0, 0));
    sol.good.assign(calib.ngains, 0);
    if (s <= 0 || s > calib.nsols)
        return;
    sol.time = solutionTime(s, timeStep);
    std::vector<float> buf(2 * size_t(calib.ngains));
    int iostat = 0;
    hreadr_c(calib.item, buf.data(), solutionOffset(s) + 8, 8 * off_t(calib.ngains), &iostat);
    if (iostat)
        ioFail("reading gains entry", iostat);
    for (int i = 0; i < calib.ngains; i++) {
        sol.gains[i] = cplx(buf[2 * i], buf[2 * i + 1]);
        sol.good[i] = usable(sol.gains[i]);
    }
}

bool isReal(const Solution& s)
{
    return s.index >= 1 && s.index <= calib.nsols;
}

// Moves the held pair so that earlier.time <= t < later.time. Solution times come from the item:
// strides double while the record lies beyond the pair, then the gap is halved until the two
// are adjacent. Only the pair finally held has its gains read.
void moveSolutions(double t)
{
    int lo = calib.earlier.index, hi = calib.later.index;
    double tlo = isReal(calib.earlier) ? calib.earlier.time : -INFINITY;
    double thi = isReal(calib.later) ? calib.later.time : INFINITY;
    if (!(t >= thi) && !(t < tlo))
        return;
    const int last = calib.nsols + 1;
    if (t >= thi) {
        for (int stride = 1; t >= thi; stride *= 2) {
            lo = hi;
            tlo = thi;
            hi = std::min(hi + stride, last);
            thi = solutionTime(hi);
            stride = std::min(stride, last);
        }
    } else {
        for (int stride = 1; t < tlo; stride *= 2) {
            hi = lo;
            thi = tlo;
            lo = std::max(lo - stride, 0);
            tlo = solutionTime(lo);
            stride = std::min(stride, last);
        }
    }
    while (hi - lo > 1) {
        int mid = lo + (hi - lo) / 2;
        double tm = solutionTime(mid);
        if (tm <= t)
            lo = mid;
        else
            hi = mid;
    }
    // Keep what is already in memory.
    if (lo == calib.later.index)
        std::swap(calib.earlier, calib.later);
    else if (hi == calib.earlier.index)
        std::swap(calib.earlier, calib.later);
    if (calib.earlier.index != lo)
        loadSolution(calib.earlier, lo);
    if (calib.later.index != hi)
        loadSolution(calib.later, hi);
}

bool near(const Solution& s, double t)
{
    return isReal(s) && std::abs(t - s.time) < calib.interval;
}

// The entry's value by the near rules, from `first` before `second`; null when neither applies.
const cplx* pick(int entry, const Solution& first, const Solution& second, double t)
{
    if (near(first, t) && first.good[entry])
        return &first.gains[entry];
    if (near(second, t) && second.good[entry])
        return &second.gains[entry];
    return nullptr;
}

// The interpolation fraction of time t between the held solutions: 1 at the earlier, 0 at the later.
double fraction(double t)
{
    const double te = isReal(calib.earlier) ? calib.earlier.time : t - 1e6 * calib.interval;
    const double tl = isReal(calib.later) ? calib.later.time : t + 1e6 * calib.interval;
    return (tl - t) / (tl - te);
}

// The gain of entry e (antenna a) at time t by the near rules, and the antenna's delay term.
const EntryFactor& entryGain(int e, int a, double t, double f)
{
    EntryFactor& E = calib.entries[e];
    if (E.gainTime == t)
        return E;
    const cplx *ga = pick(e, calib.earlier, calib.later, t), *gb = pick(e, calib.later, calib.earlier, t);
    E.hasGain = ga && gb;
    if (E.hasGain)
        E.gain = interpolate(*ga, *gb, f);
    E.tau = 0;
    if (calib.dotau) {
        // A delay entry without a value in either held solution counts as no delay.
        const int d = (a - 1) * (calib.nfeeds + calib.ntau) + calib.nfeeds;
        const cplx *da = pick(d, calib.earlier, calib.later, t), *db = pick(d, calib.later, calib.earlier, t);
        const cplx ta = da ? *da : 0.0, tb = db ? *db : 0.0;
        E.tau = ta == tb ? ta : f * ta + (1 - f) * tb;
    }
    E.gainTime = t;
    return E;
}

// ---------------------------------------------------------------------------------------------
// Bandpass: loading.

void loadFreqs(int tno, int nspect0)
{
    int item, iostat;
    haccess_c(tno, &item, "freqs", "read", &iostat);
    if (iostat)
        ioFail("accessing freqs table", iostat);
    calib.bpWindows.assign(nspect0, Window{});
    calib.bpOffset.assign(nspect0, 0);
    int total = 0;
    for (int w = 0; w < nspect0; w++) {
        off_t off = 8 + 24 * off_t(w);
        int n;
        double fs[2];
        hreadi_c(item, &n, off, 4, &iostat);
        if (!iostat)
            hreadd_c(item, fs, off + 8, 16, &iostat);
        if (iostat)
            ioFail("reading freqs table", iostat);
        if (n < 1 || n > calib.nchan0 - total)
            fatal("Invalid value for nchan, ngains or nspect, in uvDat");
        calib.bpWindows[w] = Window{n, fs[0], fs[1]};
        calib.bpOffset[w] = total;
        total += n;
    }
    if (total != calib.nchan0)
        fatal("Invalid value for nchan, ngains or nspect, in uvDat");
    hdaccess_c(item, &iostat);
    if (iostat)
        ioFail("closing freqs table", iostat);
}

void loadBandpass(int tno)
{
    calib.nchan0 = 0;
    int nspect0 = 0;
    rdhdi_c(tno, "nchan0", &calib.nchan0, 0);
    rdhdi_c(tno, "nspect0", &nspect0, 0);
    if (calib.nchan0 <= 0 || calib.ngains <= 0 || nspect0 < 1)
        fatal("Invalid value for nchan, ngains or nspect, in uvDat");
    if (nspect0 > kMaxSpect)
        fatal("Too many spectral windows for me to handle, in uvDat");
    loadFreqs(tno, nspect0);

    int item, iostat;
    haccess_c(tno, &item, "bandpass", "read", &iostat);
    if (iostat)
        ioFail("accessing bandpass table", iostat);
    const int nsol = std::max(calib.nbpsols, 1);
    const int64_t perSol = int64_t(calib.ngains) * calib.nchan0;
    if (hsize_c(item) != 8 + 8 * (nsol * perSol + calib.nbpsols))
        fatal("Bandpass table size is incorrect. This happens when the inputs for tovak and renul are inconsistent");
    calib.bp.assign(size_t(nsol * perSol), cplxf(0, 0));
    calib.bpTimes.assign(size_t(calib.nbpsols) + 2, 0.0);
    calib.bpTimes.front() = -kBpBound;
    calib.bpTimes.back() = kBpBound;
    off_t off = 8;
    for (int s = 0; s < nsol; s++) {
        hreadr_c(item, reinterpret_cast<float*>(calib.bp.data() + s * perSol), off, 8 * perSol, &iostat);
        if (iostat)
            ioFail("reading bandpass table", iostat);
        off += 8 * perSol;
        if (calib.nbpsols > 0) {
            hreadd_c(item, &calib.bpTimes[s + 1], off, 8, &iostat);
            if (iostat)
                ioFail("reading bandpass table", iostat);
            off += 8;
        }
    }
    hdaccess_c(item, &iostat);
    if (iostat)
        ioFail("closing bandpass table", iostat);
    calib.havePass = true;
}

void loadBaselineTable(int tno, BaselineTable& tab, const char* item, const char* ngainsName, const char* nbaseName,
                       const char* suffix)
{
    rdhdi_c(tno, ngainsName, &tab.ngains, 0);
    rdhdi_c(tno, nbaseName, &tab.nbase, 0);
    if (tab.ngains < 1)
        fatal(std::string("Number of gains is missing or bad, in ") + suffix);
    if (tab.nbase < 1)
        fatal(std::string("Number of baselines is missing or bad, in ") + suffix);
    const std::string table = std::string(item) + " table";
    int ih, iostat;
    haccess_c(tno, &ih, item, "read", &iostat);
    if (iostat)
        ioFail(("accessing " + table).c_str(), iostat);
    const int64_t n = int64_t(tab.ngains) * tab.nbase;
    if (hsize_c(ih) != 8 + 8 * n) {
        std::string name(item);
        name[0] = char(std::toupper(name[0]));
        fatal(name + " table size is incorrect, in " + suffix);
    }
    tab.values.assign(size_t(n), cplxf(0, 0));
    hreadr_c(ih, reinterpret_cast<float*>(tab.values.data()), 8, 8 * n, &iostat);
    if (iostat)
        ioFail(("reading " + table).c_str(), iostat);
    hdaccess_c(ih, &iostat);
    if (iostat)
        ioFail(("closing " + table).c_str(), iostat);
    tab.on = true;
}

// ---------------------------------------------------------------------------------------------
// Bandpass: matching the record's channels.

void readArray(const char* name, char type, int n, void* out)
{
    char t;
    int len, upd;
    uvprobvr_c(calib.tno, name, &t, &len, &upd);
    if (t != type || len < n)
        fatal("Bad value for variable nspect, in uvGn(pass-get)");
    if (len == n) {
        uvgetvr_c(calib.tno, type == 'i' ? IO_INT : IO_DBLE, name, out, n);
        return;
    }
    if (type == 'i') {
        std::vector<int> all(len);
        uvgetvr_c(calib.tno, IO_INT, name, all.data(), len);
        std::copy_n(all.begin(), n, static_cast<int*>(out));
    } else {
        std::vector<double> all(len);
        uvgetvr_c(calib.tno, IO_DBLE, name, all.data(), len);
        std::copy_n(all.begin(), n, static_cast<double*>(out));
    }
}

// Reads the record's set-up into `s` (whose buffers are reused from record to record).
void readSetup(Setup& s, int dowide, int nchan)
{
    s.wide = dowide;
    s.nchan = nchan;
    double line[6] = {0, 0, 0, 0, 0, 0};
    uvinfo_c(calib.tno, "line", line);
    s.kind = int(line[0]);
    if (s.kind == 3 || s.kind == 4)
        fatal("Cannot apply bandpass correction with velocity linetype");
    if (s.kind != 1 && s.kind != 2)
        fatal("Unsupported linetype, in uvGn(pass-get)");
    s.start = 0;
    s.width = s.step = 1;
    if (dowide) {
        // Wide channels come from "wcorr": all of them, unless the data line itself is wide.
        if (s.kind == 2) {
            s.start = int(line[2]) - 1;
            s.width = int(line[3]);
            s.step = int(line[4]);
            if (s.width != 1 || s.step != 1)
                fatal("Linetype width and step must be 1, in Gains routines.");
        }
        int nwide = 0;
        const int zero = 0;
        uvrdvr_c(calib.tno, IO_INT, "nwide", &nwide, &zero, 1);
        if (nwide > kMaxSpect)
            fatal("nwide.gt.maxspect, in uvGn(pass-get)");
        if (nwide < 1 || s.start < 0 || s.start + nchan > nwide)
            fatal("Inconsistent number of channels, in uvGn(pass-get)");
        char t;
        int len, upd;
        for (const char* name : {"wfreq", "wwidth"}) {
            uvprobvr_c(calib.tno, name, &t, &len, &upd);
            if (t != 'r' || len < nwide)
                fatal("Inconsistent number of channels, in uvGn(pass-get)");
        }
        std::vector<float> buf;
        uvprobvr_c(calib.tno, "wfreq", &t, &len, &upd);
        buf.resize(len);
        uvgetvr_c(calib.tno, IO_REAL, "wfreq", buf.data(), len);
        s.sfreq.assign(buf.begin(), buf.begin() + nwide);
        uvprobvr_c(calib.tno, "wwidth", &t, &len, &upd);
        buf.resize(len);
        uvgetvr_c(calib.tno, IO_REAL, "wwidth", buf.data(), len);
        s.sdf.assign(buf.begin(), buf.begin() + nwide);
        s.nschan.assign(nwide, 1);
        return;
    }
    if (s.kind != 1)
        fatal("Unsupported linetype, in uvGn(pass-get)");
    s.start = int(line[2]) - 1;
    s.width = int(line[3]);
    s.step = int(line[4]);
    int nspect = 0;
    const int zero = 0;
    uvrdvr_c(calib.tno, IO_INT, "nspect", &nspect, &zero, 1);
    if (nspect < 1)
        fatal("Bad value for variable nspect, in uvGn(pass-get)");
    if (nspect > kMaxSpect)
        fatal("nchan.gt.maxspect, in uvGn(pass-get)");
    s.nschan.resize(nspect);
    s.sfreq.resize(nspect);
    s.sdf.resize(nspect);
    readArray("nschan", 'i', nspect, s.nschan.data());
    readArray("sfreq", 'd', nspect, s.sfreq.data());
    readArray("sdf", 'd', nspect, s.sdf.data());
    int64_t total = 0;
    for (int n : s.nschan) {
        if (n < 0)
            fatal("Inconsistent number of channels, in uvGn(pass-get)");
        total += n;
    }
    if (s.start < 0 || s.width < 1 || s.step < 1 || s.start + int64_t(nchan - 1) * s.step + s.width > total)
        fatal("Inconsistent number of channels, in uvGn(pass-get)");
}

// The variables that describe the record's spectral set-up.
constexpr const char* kSetupVars[] = {"nspect", "nschan", "sfreq", "sdf", "nwide", "wfreq", "wwidth"};

// Whether the record's spectral set-up may differ from the one last read; sets mustCompare.
// Reading the set-up costs several variable look-ups, so it is skipped while no record has been
// scanned since (the products of one record group), and reduced to the reader's update mark
// (`uvupdate_c`, the set-up variables being tracked for update) when exactly one has: the
// variables then changed in the record just read, if at all.
bool setupMayHaveChanged(int dowide, int nchan)
{
    double visno = 0, line[6] = {0, 0, 0, 0, 0, 0};
    uvinfo_c(calib.tno, "visno", &visno);
    uvinfo_c(calib.tno, "line", line);
    bool read = !calib.haveSetup || dowide != calib.setup.wide || nchan != calib.setup.nchan ||
        !std::equal(line, line + 6, calib.setupLine) || !(visno == calib.setupVisno || visno == calib.setupVisno + 1);
    if (!read && visno == calib.setupVisno + 1)
        read = uvupdate_c(calib.tno) != 0;
    calib.setupVisno = visno;
    std::copy(line, line + 6, calib.setupLine);
    calib.mustCompare = read;
    return read;
}

// The bandpass channel at sky frequency f, or -1 when no bandpass window holds it.
int bandpassChannel(double f)
{
    for (size_t w = 0; w < calib.bpWindows.size(); w++) {
        const Window& bw = calib.bpWindows[w];
        if (bw.sdf == 0)
            continue;
        double m = std::nearbyint((f - bw.sfreq) / bw.sdf);
        if (m >= 0 && m < bw.nchan)
            return calib.bpOffset[w] + int(m);
    }
    return -1;
}

// Works out, for every record channel, its sky frequency and the bandpass channels it covers.
void matchSetup(const Setup& s)
{
    const int n = s.nchan;
    calib.chanFreq.assign(n, 0.0);
    calib.coverStart.assign(size_t(n) + 1, 0);
    calib.cover.clear();
    if (s.wide) {
        for (int c = 0; c < n; c++) {
            const int k = s.start + c;
            const double f = s.sfreq[k], half = std::abs(s.sdf[k]) / 2;
            calib.chanFreq[c] = f;
            calib.coverStart[c] = int(calib.cover.size());
            if (calib.havePass) {
                for (size_t w = 0; w < calib.bpWindows.size(); w++) {
                    const Window& bw = calib.bpWindows[w];
                    for (int m = 0; m < bw.nchan; m++) {
                        double fm = bw.sfreq + m * bw.sdf;
                        if (fm >= f - half && fm <= f + half)
                            calib.cover.push_back(calib.bpOffset[w] + m);
                    }
                }
            }
        }
        calib.coverStart[n] = int(calib.cover.size());
        return;
    }
    if (s.width > 1 && calib.havePass && !calib.warnedAveraging) {
        bug_c('w', "Performing linetype averaging before applying bandpass!!");
        bug_c('w', " ... this may be very unwise");
        calib.warnedAveraging = true;
    }
    for (int c = 0; c < n; c++) {
        calib.coverStart[c] = int(calib.cover.size());
        double sum = 0;
        for (int j = 0; j < s.width; j++) {
            int k = s.start + c * s.step + j, w = 0;
            while (k >= s.nschan[w])
                k -= s.nschan[w++];
            const double f = s.sfreq[w] + k * s.sdf[w];
            sum += f;
            if (calib.havePass) {
                int m = bandpassChannel(f);
                if (m >= 0)
                    calib.cover.push_back(m);
                else
                    calib.cover.push_back(-1);
            }
        }
        calib.chanFreq[c] = sum / s.width;
    }
    calib.coverStart[n] = int(calib.cover.size());
}

// What the delay stage needs of the record's channel frequencies: the log ratios for the power
// law, and where the phase rotation must start afresh (every 64 channels, and where the step
// between neighbouring channels differs from the step of the run it would continue).
void delayTables()
{
    const std::vector<double>& nu = calib.chanFreq;
    const size_t n = nu.size();
    calib.chanLogRatio.resize(n);
    calib.anchor.assign(n, 0);
    calib.runStep.assign(n, 0.0);
    size_t a = 0;
    for (size_t c = 0; c < n; c++) {
        calib.chanLogRatio[c] = calib.freq0 > 0 ? float(std::log(nu[c] / calib.freq0)) : 0.0f;
        if (c % 64 != 0) {
            const double d = nu[c] - nu[c - 1], rs = calib.runStep[a];
            if (std::abs(d - rs) <= 1e-9 * std::abs(rs))
                continue;
        }
        calib.anchor[c] = 1;
        calib.runStep[c] = c + 1 < n ? nu[c + 1] - nu[c] : 0.0;
        a = c;
    }
}

// Finds the bandpass interval of time t and the interpolation fraction within it.
void bandpassTime(double t)
{
    const int nb = calib.nbpsols;
    int k = calib.bpInterval;
    if (k < 0 || !(calib.bpTimes[k] <= t && t <= calib.bpTimes[k + 1])) {
        k = -1;
        for (int i = 0; i <= nb; i++) {
            if (calib.bpTimes[i] <= t && t <= calib.bpTimes[i + 1]) {
                k = i;
                break;
            }
        }
        if (k < 0)
            fatal("uvGn: corrupted bp table?");
    }
    double frac = 0;
    if (k > 0 && k < nb)
        frac = (t - calib.bpTimes[k]) / (calib.bpTimes[k + 1] - calib.bpTimes[k]);
    if (k != calib.bpInterval || frac != calib.bpFraction) {
        calib.bpInterval = k;
        calib.bpFraction = frac;
        calib.generation++;
    }
}

// The bandpass of one gain entry at bandpass channel m for the current interval; 0 when missing.
cplx bandpassValue(int entry, int m)
{
    const int64_t perSol = int64_t(calib.ngains) * calib.nchan0;
    const int64_t at = int64_t(entry) * calib.nchan0 + m;
    const int k = calib.bpInterval;
    // Solution s (from 0) carries time bpTimes[s + 1]; interval k lies between solutions k - 1 and k.
    if (calib.nbpsols == 0 || k == 0)
        return cplx(calib.bp[at]);
    if (k == calib.nbpsols)
        return cplx(calib.bp[(k - 1) * perSol + at]);
    cplx a = cplx(calib.bp[(k - 1) * perSol + at]), b = cplx(calib.bp[k * perSol + at]);
    if (calib.bpFraction == 0)
        return a;
    if (!usable(a) || !usable(b))
        return cplx(0, 0);
    return interpolate(a, b, 1.0 - calib.bpFraction);
}

// The bandpass of one gain entry matched to the record's channels (0 marks a missing value).
const std::vector<cplxf>& matchedBandpass(int entry)
{
    if (calib.matchedGen[entry] != calib.generation) {
        std::vector<cplxf>& out = calib.matched[entry];
        const int n = calib.setup.nchan;
        out.assign(n, cplxf(0, 0));
        for (int c = 0; c < n; c++) {
            cplx sum = 0;
            int good = 0;
            for (int i = calib.coverStart[c]; i < calib.coverStart[c + 1]; i++) {
                if (calib.cover[i] < 0)
                    continue;
                cplx b = bandpassValue(entry, calib.cover[i]);
                if (!usable(b))
                    continue;
                sum += b;
                good++;
            }
            if (good > 0)
                out[c] = cplxf(sum / double(good));
        }
        calib.matchedGen[entry] = calib.generation;
    }
    return calib.matched[entry];
}

// Per record channel, the bandpass and delay factor (ν/freq0)^Re τ · exp(i (ν − freq0) Im τ)
// of entry e (antenna and feed); 0 where the bandpass is missing. A baseline gets
// u1 · conj(u2): the delay terms of the two antennas combine into (Re τ1 + Re τ2) +
// i (Im τ1 − Im τ2), the baseline delay term. The phase is advanced from channel to channel by
// a rotation (in double precision, restarted at the anchors: every 64 channels and wherever the
// frequency step changes), which costs a complex multiply instead of a sine and cosine.
void workOutUnit(EntryFactor& E, int e)
{
    const int n = calib.setup.nchan;
    E.unit.resize(2 * size_t(n));
    float* __restrict u = E.unit.data();
    if (calib.havePass) {
        const cplxf* __restrict b = matchedBandpass(e).data();
        for (int c = 0; c < n; c++)
            u[2 * c] = b[c].real(), u[2 * c + 1] = b[c].imag();
    } else {
        for (int c = 0; c < n; c++)
            u[2 * c] = 1, u[2 * c + 1] = 0;
    }
    const float re = float(E.tau.real());
    if (re != 0 && !(calib.freq0 > 0)) {
        // The power law needs a reference frequency; without one the correction is unknown.
        std::fill_n(u, 2 * size_t(n), 0.0f);
    } else if (re != 0) {
        const float* __restrict logRatio = calib.chanLogRatio.data();
        for (int c = 0; c < n; c++) {
            const float scale = std::exp(re * logRatio[c]);
            u[2 * c] *= scale, u[2 * c + 1] *= scale;
        }
    }
    const double im = E.tau.imag();
    if (im != 0) {
        const double* __restrict nu = calib.chanFreq.data();
        const double* __restrict runStep = calib.runStep.data();
        const unsigned char* __restrict anchor = calib.anchor.data();
        double cr = 1, ci = 0, rr = 1, ri = 0;
        for (int c = 0; c < n; c++) {
            if (anchor[c]) {
                const double theta = (nu[c] - calib.freq0) * im;
                cr = std::cos(theta), ci = std::sin(theta);
                rr = std::cos(runStep[c] * im), ri = std::sin(runStep[c] * im);
            } else {
                const double r = cr * rr - ci * ri;
                ci = cr * ri + ci * rr;
                cr = r;
            }
            const float pr = u[2 * c], pi = u[2 * c + 1], fr = float(cr), fi = float(ci);
            u[2 * c] = pr * fr - pi * fi;
            u[2 * c + 1] = pr * fi + pi * fr;
        }
    }
    E.complete = true;
    for (int c = 0; c < n; c++) {
        // A frequency or table value that is no number leaves the channel without a factor.
        if (!std::isfinite(u[2 * c]) || !std::isfinite(u[2 * c + 1]))
            u[2 * c] = u[2 * c + 1] = 0;
        E.complete = E.complete && (u[2 * c] != 0 || u[2 * c + 1] != 0);
    }
    E.unitGen = calib.generation;
    E.unitTau = E.tau;
    E.factorValid = false;
}

// What calibration multiplies each record channel by for entry e: its gain times its bandpass
// and delay factor. Worked out again only when one of them changed.
const EntryFactor& channelFactors(int e)
{
    EntryFactor& E = calib.entries[e];
    if (E.unitGen != calib.generation || E.unitTau != E.tau)
        workOutUnit(E, e);
    if (E.factorValid && E.factorGain == E.gain)
        return E;
    const size_t n = E.unit.size();
    E.factor.resize(n);
    const float gr = float(E.gain.real()), gi = float(E.gain.imag());
    const float* __restrict u = E.unit.data();
    float* __restrict f = E.factor.data();
    for (size_t k = 0; k < n; k += 2) {
        f[k] = gr * u[k] - gi * u[k + 1];
        f[k + 1] = gr * u[k + 1] + gi * u[k];
    }
    E.factorGain = E.gain;
    E.factorValid = true;
    return E;
}

// Multiplies each channel by p · conj(q); a channel where either is 0 is flagged and left as is.
// Built for AVX2 as well as the baseline instruction set; the wider vectors roughly halve the
// cost of this loop, which is most of what calibration adds to reading a record.
__attribute__((target_clones("arch=x86-64-v3", "default"))) void applyFactors(const EntryFactor& P,
                                                                              const EntryFactor& Q,
                                                                              float* __restrict data, int* flags,
                                                                              int nchan)
{
    const float* __restrict p = P.factor.data();
    const float* __restrict q = Q.factor.data();
    if (P.complete && Q.complete) {
        for (int c = 0; c < nchan; c++) {
            const float pr = p[2 * c], pi = p[2 * c + 1], qr = q[2 * c], qi = q[2 * c + 1];
            const float wr = pr * qr + pi * qi, wi = pi * qr - pr * qi;
            const float dr = data[2 * c], di = data[2 * c + 1];
            data[2 * c] = dr * wr - di * wi;
            data[2 * c + 1] = dr * wi + di * wr;
        }
        return;
    }
    for (int c = 0; c < nchan; c++) {
        const float pr = p[2 * c], pi = p[2 * c + 1], qr = q[2 * c], qi = q[2 * c + 1];
        if ((pr == 0 && pi == 0) || (qr == 0 && qi == 0)) {
            flags[c] = 0;
            continue;
        }
        const float wr = pr * qr + pi * qi, wi = pi * qr - pr * qi;
        const float dr = data[2 * c], di = data[2 * c + 1];
        data[2 * c] = dr * wr - di * wi;
        data[2 * c + 1] = dr * wi + di * wr;
    }
}

// Index of the antenna pair a1 <= a2 in a per-baseline table: (1,1), (1,2) ... (1,nants), (2,2) ...
int64_t baselineIndex(int a1, int a2)
{
    return int64_t(a1 - 1) * calib.nants - int64_t(a1 - 1) * (a1 - 2) / 2 + (a2 - a1);
}

void applyBaselineTable(const BaselineTable& tab, int a1, int a2, float* data, int* flags, int nchan)
{
    const int64_t b = baselineIndex(a1, a2);
    for (int c = 0; c < nchan; c++) {
        cplxf g(0, 0);
        if (b < tab.nbase && c < tab.ngains)
            g = tab.values[size_t(b * tab.ngains + c)];
        if (!usable(cplx(g))) {
            flags[c] = 0;
            continue;
        }
        const cplxf v = cplxf(data[2 * c], data[2 * c + 1]) * g;
        data[2 * c] = v.real();
        data[2 * c + 1] = v.imag();
    }
}

// Feeds of the two antennas for a polarisation code; false when the code has no feed pair.
bool feedPair(int pol, int* f1, int* f2)
{
    *f1 = *f2 = 1;
    if (calib.nfeeds == 1)
        return true;
    switch (pol) {
    case -1:
    case -5:
        *f1 = 1;
        *f2 = 1;
        return true;
    case -2:
    case -6:
        *f1 = 2;
        *f2 = 2;
        return true;
    case -3:
    case -7:
        *f1 = 1;
        *f2 = 2;
        return true;
    case -4:
    case -8:
        *f1 = 2;
        *f2 = 1;
        return true;
    default:
        return false;
    }
}

void reset()
{
    calib = Calibration{};
}

}  // namespace

extern "C" void uvgnini(int tno, int dogains, int dopass)
{
    if (calib.active)
        uvgnfin();
    reset();
    calib.active = true;
    calib.tno = tno;
    calib.dogains = dogains != 0;
    bool passItem = false;
    if (dopass) {
        passItem = hexists_c(tno, "bandpass") != 0;
        if (!passItem) {
            calib.cgains.on = hexists_c(tno, "cgains") != 0;
            calib.wgains.on = hexists_c(tno, "wgains") != 0;
        }
    }

    if (calib.dogains || passItem) {
        rdhdi_c(tno, "ngains", &calib.ngains, 0);
        rdhdi_c(tno, "nfeeds", &calib.nfeeds, 1);
        rdhdi_c(tno, "ntau", &calib.ntau, 0);
        if (calib.ngains < 1)
            fatal("Number of gains is missing or bad, in uvGnIni");
        if (calib.nfeeds != 1 && calib.nfeeds != 2)
            fatal("Number of feeds is bad");
        if (calib.ntau < 0 || calib.ntau > 1)
            fatal("Number of delay terms is bad");
        calib.nants = calib.ngains / (calib.ntau + calib.nfeeds);
        if ((calib.ntau + calib.nfeeds) * calib.nants != calib.ngains)
            fatal("Bad number of gains or feeds");
        if (calib.nants > kMaxAnts)
            fatal("Too many antennae for me to handle, in uvGnIni");
        calib.dotau = calib.dogains && calib.ntau >= 1;
    }

    if (calib.dogains) {
        rdhdi_c(tno, "nsols", &calib.nsols, 0);
        rdhdd_c(tno, "interval", &calib.interval, 0.0);
        if (calib.nsols < 1)
            fatal("Number of gain solutions is missing or bad, in uvGnIni");
        if (!(calib.interval > 0))
            fatal("The time interval increment is missing or bad, in uvGnIni");
        int iostat;
        haccess_c(tno, &calib.item, "gains", "read", &iostat);
        if (iostat)
            ioFail("accessing gains table", iostat);
        if (hsize_c(calib.item) != 8 + off_t(calib.nsols) * (8 * off_t(calib.ngains) + 8))
            fatal("Gain table size is incorrect");
        loadSolution(calib.later, 1, "reading first time");
        loadSolution(calib.earlier, 0);
    }

    if (calib.cgains.on)
        loadBaselineTable(tno, calib.cgains, "cgains", "ncgains", "ncbase", "uvGnInic");
    if (calib.wgains.on)
        loadBaselineTable(tno, calib.wgains, "wgains", "nwgains", "nwbase", "uvGnIniw");

    if (passItem || calib.dotau) {
        rdhdi_c(tno, "nbpsols", &calib.nbpsols, 0);
        if (calib.nbpsols > kMaxBpSols)
            fatal("Too many bandpass solutions for me too handle, in uvGn");
        if (calib.nbpsols < 0)
            fatal("Number of bandpass solutions is bad, in uvGn");
        if (passItem)
            loadBandpass(tno);
        rdhdd_c(tno, "freq0", &calib.freq0, 0.0);
        calib.perChannel = true;
        for (const char* name : kSetupVars)
            uvtrack_c(tno, name, "u");
    }
    calib.matched.assign(calib.ngains, {});
    calib.matchedGen.assign(calib.ngains, 0);
    calib.entries.assign(calib.ngains, {});
}

extern "C" void uvgnfac(double time, double baseline, int pol, int dowide, float* data, int* flags, int nchan,
                        float* grms)
{
    *grms = 1.0f;
    if (!calib.active || nchan <= 0)
        return;
    if (pol == 0 && calib.nfeeds == 2) {
        const int zero = 0;
        uvrdvr_c(calib.tno, IO_INT, "pol", &pol, &zero, 1);
    }
    int f1, f2;
    if (!feedPair(pol, &f1, &f2)) {
        std::fill_n(flags, nchan, 0);
        return;
    }
    int a1, a2;
    basant(baseline, &a1, &a2);
    if (a1 < 1 || a2 < 1 || a1 > calib.nants || a2 > calib.nants) {
        std::fill_n(flags, nchan, 0);
        return;
    }
    const int per = calib.nfeeds + calib.ntau;
    const int e1 = (a1 - 1) * per + f1 - 1, e2 = (a2 - 1) * per + f2 - 1;
    cplx G(1, 0);
    if (calib.dogains) {
        if (!std::isfinite(time)) {
            std::fill_n(flags, nchan, 0);
            return;
        }
        moveSolutions(time);
        const double f = fraction(time);
        const EntryFactor &E1 = entryGain(e1, a1, time, f), &E2 = entryGain(e2, a2, time, f);
        if (!E1.hasGain || !E2.hasGain) {
            std::fill_n(flags, nchan, 0);
            return;
        }
        G = E1.gain * std::conj(E2.gain);
        *grms = float(std::sqrt(std::norm(G)));
    }
    if (calib.perChannel) {
        if (setupMayHaveChanged(dowide, nchan))
            readSetup(calib.scratch, dowide, nchan);
        if (calib.mustCompare && !(calib.haveSetup && calib.scratch == calib.setup)) {
            std::swap(calib.setup, calib.scratch);
            calib.haveSetup = true;
            matchSetup(calib.setup);
            delayTables();
            calib.generation++;
        }
        if (calib.havePass) {
            if (std::isnan(time)) {
                std::fill_n(flags, nchan, 0);
                return;
            }
            bandpassTime(time);
        }
        applyFactors(channelFactors(e1), channelFactors(e2), data, flags, nchan);
    } else if (calib.dogains) {
        const float gr = float(G.real()), gi = float(G.imag());
        for (int c = 0; c < nchan; c++) {
            const float dr = data[2 * c], di = data[2 * c + 1];
            data[2 * c] = dr * gr - di * gi;
            data[2 * c + 1] = dr * gi + di * gr;
        }
    }
    if (dowide ? calib.wgains.on : calib.cgains.on)
        applyBaselineTable(dowide ? calib.wgains : calib.cgains, a1, a2, data, flags, nchan);
}

extern "C" void uvgnfin(void)
{
    if (calib.active && calib.item) {
        int iostat;
        hdaccess_c(calib.item, &iostat);
        if (iostat)
            ioFail("closing gains table", iostat);
    }
    reset();
}
