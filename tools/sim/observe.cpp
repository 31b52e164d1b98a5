// Simulating an interferometer observation and writing it as a uv data set through the
// shared uv writer (uvwriter.h). The sky is a few point sources per field; each antenna has its own
// bandpass and slowly drifting gains; noise is Gaussian; interference is added on top.
#include "tools/sim/observe.h"

#include "tools/sim/calwriter.h"
#include "tools/sim/uvh5writer.h"
#include "tools/sim/uvwriter.h"

#include "dataset/bug.h"
#include "dataset/hio.h"

#include "dataset/uvio.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <set>

namespace kestrum::sim {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kMetresPerNs = 0.299792458;
constexpr double kLatitude = -30.72 * kPi / 180;  // array latitude
constexpr double kLongitude = 21.43 * kPi / 180;  // array longitude, east
constexpr double kStartJd = 2459580.25;  // first integration's Julian date
constexpr double kCalibratorFlux = 10.0;  // Jy
constexpr double kRestFreq = 1.420405752;  // GHz

// Uv variable type codes of the writer.
constexpr int kChar = 1;
constexpr int kReal = 4;
constexpr int kDouble = 5;

// Deterministic random numbers: the engine's sequence is fixed by the standard, the
// conversions below are our own so that every platform gives the same data set.
class Random {
public:
    explicit Random(uint64_t seed) : engine_(seed) {}
    double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    int integer(int lo, int hi) { return lo + static_cast<int>(uniform() * (hi - lo + 1)); }
    // Standard normal deviate (Box-Muller, both values used).
    double normal()
    {
        if (haveSpare_) {
            haveSpare_ = false;
            return spare_;
        }
        double u1 = uniform();
        while (u1 <= 0.0)
            u1 = uniform();
        const double r = std::sqrt(-2.0 * std::log(u1));
        const double t = 2 * kPi * uniform();
        spare_ = r * std::sin(t);
        haveSpare_ = true;
        return r * std::cos(t);
    }

private:
    std::mt19937_64 engine_;
    double spare_ = 0.0;
    bool haveSpare_ = false;
};

// One point source of a field: offsets from the phase centre (radians), flux at sfreq, index.
struct Component {
    double l, m, flux, alpha;
};

struct Field {
    std::string name;
    double ra, dec;
    std::vector<Component> components;
};

// Greenwich mean sidereal time in radians.
double gmst(double jd)
{
    const double deg = 280.46061837 + 360.98564736629 * (jd - 2451545.0);
    const double rad = std::fmod(deg, 360.0) * kPi / 180;
    return rad < 0 ? rad + 2 * kPi : rad;
}

std::vector<Field> makeFields(const ObserveConfig& config, Random& rng)
{
    std::vector<Field> fields;
    for (size_t i = 0; i < config.sources.size(); ++i) {
        Field f;
        f.name = config.sources[i];
        f.ra = std::fmod(3.54 + 0.9 * static_cast<double>(i), 2 * kPi);
        f.dec = kLatitude + rng.uniform(-0.3, 0.3);
        if (i == 0) {
            f.components.push_back({0.0, 0.0, kCalibratorFlux, -0.7});
        } else {
            const int n = rng.integer(2, 4);
            for (int k = 0; k < n; ++k) {
                const double r = rng.uniform(0.0, 0.01);  // within about half a degree
                const double pa = rng.uniform(0.0, 2 * kPi);
                f.components.push_back(
                    {r * std::cos(pa), r * std::sin(pa), rng.uniform(0.3, 3.0), rng.uniform(-1.2, 0.3)});
            }
        }
        fields.push_back(f);
    }
    return fields;
}

// Antenna positions in the equatorial frame, nanoseconds: x, y, z per antenna.
std::vector<std::array<double, 3>> makeAntennas(const ObserveConfig& config, Random& rng)
{
    const double radius = 150.0 * std::sqrt(static_cast<double>(config.nants));  // metres
    std::vector<std::array<double, 3>> pos;
    for (int a = 0; a < config.nants; ++a) {
        const double r = radius * std::sqrt(rng.uniform());
        const double t = rng.uniform(0.0, 2 * kPi);
        const double east = r * std::cos(t), north = r * std::sin(t), up = rng.uniform(-2.0, 2.0);
        const double x = -std::sin(kLatitude) * north + std::cos(kLatitude) * up;
        const double y = east;
        const double z = std::cos(kLatitude) * north + std::sin(kLatitude) * up;
        pos.push_back({x / kMetresPerNs, y / kMetresPerNs, z / kMetresPerNs});
    }
    return pos;
}

// Per-antenna, per-feed complex bandpass: a rolled-off band with a ripple.
std::vector<std::complex<float>> makeBandpass(int nchan, Random& rng)
{
    std::vector<std::complex<float>> bp(nchan);
    const double ripplePhase = rng.uniform(0.0, 2 * kPi);
    const double slopePhase = rng.uniform(0.0, 2 * kPi);
    for (int c = 0; c < nchan; ++c) {
        const double x = (c + 0.5) / nchan;
        const double taper = std::pow(std::sin(kPi * x), 0.25);
        const double amp = taper * (1.0 + 0.06 * std::sin(2 * kPi * 3.0 * x + ripplePhase));
        const double phase = 0.15 * std::sin(2 * kPi * 1.5 * x + slopePhase);
        bp[c] = std::polar(static_cast<float>(amp), static_cast<float>(phase));
    }
    return bp;
}

// Slowly varying gain of one antenna's feed.
struct Gain {
    double amp, phase0, rate;  // rate in radians per hour
    std::complex<double> at(double hours) const { return std::polar(amp, phase0 + rate * hours); }
};

// Everything about one configuration that does not depend on the record being written.
struct Plan {
    std::vector<Integration> times;
    std::vector<Field> fields;
    std::vector<std::array<double, 3>> antennas;
    std::vector<std::vector<std::complex<float>>> bandpass;  // [antenna * 2 + feed][channel]
    std::vector<Gain> gains;  // [antenna * 2 + feed]
    std::vector<std::vector<double>> spectra;  // [field][component * nchan + c]
    Interference rfi;
    std::set<int> burstSet;
    std::vector<double> delays;  // with config.cal: phase slope of each antenna, radians per GHz
    CalibrationGaps calGaps;
};

Plan makePlan(const ObserveConfig& config)
{
    Plan plan;
    Random rng(config.seed);
    plan.times = schedule(config);
    plan.fields = makeFields(config, rng);
    plan.antennas = makeAntennas(config, rng);
    for (int a = 0; a < config.nants; ++a) {
        for (int feed = 0; feed < 2; ++feed) {
            plan.bandpass.push_back(makeBandpass(config.nchan, rng));
            plan.gains.push_back({rng.uniform(0.85, 1.15), rng.uniform(-kPi, kPi), rng.uniform(-0.6, 0.6)});
        }
    }
    const double df = config.bandwidth / config.nchan;
    for (const Field& f : plan.fields) {
        std::vector<double> s(f.components.size() * config.nchan);
        for (size_t k = 0; k < f.components.size(); ++k)
            for (int c = 0; c < config.nchan; ++c)
                s[k * config.nchan + c] =
                    f.components[k].flux * std::pow((config.sfreq + c * df) / config.sfreq, f.components[k].alpha);
        plan.spectra.push_back(std::move(s));
    }
    if (config.cal) {
        // A generator of its own, so that the data sets without calibration stay as they were.
        Random calRng(config.seed ^ 0xca1b4a7eULL);
        for (int a = 0; a < config.nants; ++a)
            plan.delays.push_back(2 * kPi * calRng.uniform(-5.0, 5.0));  // up to 5 ns
        const auto n = static_cast<int64_t>(plan.times.size());
        plan.calGaps.gapFirst = n / 2;
        plan.calGaps.gapEnd = n / 2 + std::max<int64_t>(1, n / 20);
        plan.calGaps.zeroAntenna = config.nants;
        plan.calGaps.zeroEnd = std::max<int64_t>(1, n / 10);
    }
    plan.rfi = plannedInterference(config);
    plan.burstSet.insert(plan.rfi.burstIntegrations.begin(), plan.rfi.burstIntegrations.end());
    return plan;
}

// Feed (0 x or r, 1 y or l) of each hand of a polarisation code.
std::pair<int, int> feeds(int pol)
{
    switch (pol) {
    case -6:
    case -2:
        return {1, 1};
    case -7:
    case -3:
        return {0, 1};
    case -8:
    case -4:
        return {1, 0};
    default:
        return {0, 0};
    }
}

bool parallelHand(int pol)
{
    return feeds(pol).first == feeds(pol).second;
}

// Writes tables that undo the corruption: a gain solution at every integration (valid for
// 0.4 of an integration either side) holding the inverse of each feed's gain (and of the
// misbehaving antenna's jump), none in the planned gap and 0 for the planned antenna; a delay
// term per antenna; the inverse bandpasses.
void writeCalibration(const ObserveConfig& config, const Plan& plan, const std::vector<double>& times,
                      const std::vector<std::complex<double>>& jumps)
{
    const CalibrationGaps& gaps = plan.calGaps;
    GainTable gains(config.nants, 2, 1, 0.4 * config.inttime / 86400.0);
    gains.freq0 = config.sfreq;
    for (size_t t = 0; t < times.size(); ++t) {
        const auto i = static_cast<int64_t>(t);
        if (i >= gaps.gapFirst && i < gaps.gapEnd)
            continue;
        const int s = gains.addSolution(times[t]);
        const double hours = plan.times[t].seconds / 3600.0;
        for (int a = 1; a <= config.nants; ++a) {
            const bool zero = a == gaps.zeroAntenna && i >= gaps.zeroFirst && i < gaps.zeroEnd;
            for (int f = 0; f < 2; ++f) {
                std::complex<double> g = plan.gains[(a - 1) * 2 + f].at(hours);
                if (a == plan.rfi.badAntenna)
                    g *= jumps[t];
                gains.gain(s, a, f + 1) = zero ? std::complex<float>(0.0f, 0.0f) : std::complex<float>(1.0 / g);
            }
            gains.delay(s, a) = std::complex<float>(0.0f, static_cast<float>(plan.delays[a - 1]));
        }
    }
    const double df = config.bandwidth / config.nchan;
    BandpassTable bandpass(config.nants, 2, 1, {SpectralWindow{config.nchan, config.sfreq, df}});
    bandpass.addSolution();
    for (int a = 1; a <= config.nants; ++a)
        for (int f = 0; f < 2; ++f)
            for (int c = 0; c < config.nchan; ++c)
                bandpass.value(0, a, f + 1, c) = 1.0f / plan.bandpass[(a - 1) * 2 + f][c];

    int tno = 0, iostat = 0;
    hopen_c(&tno, config.out.c_str(), "old", &iostat);
    if (iostat != 0) {
        bug_c('w', ("Cannot reopen " + config.out + " to write its calibration tables").c_str());
        bugno_c('f', iostat);
    }
    writeGains(tno, gains);
    writeBandpass(tno, bandpass, false);
    hclose_c(tno);
}

// The faults that every baseline shares: persistent channels, bursts, a misbehaving antenna.
void planShared(const ObserveConfig& config, Random& rng, int lo, int hi, int n, Interference& rfi);

}  // namespace

std::string checkConfig(const ObserveConfig& c)
{
    if (c.out.empty())
        return "out= names no data set";
    if (c.nants < 2 || c.nants > 2048)
        return "nants must be 2 to 2048";
    if (c.nchan < 1 || c.nchan > 32768)
        return "nchan must be 1 to 32768";
    if (c.sources.empty())
        return "sources= names no source";
    for (const std::string& s : c.sources)
        if (s.empty() || s.size() > 63)
            return "source names must have 1 to 63 characters";
    if (c.pols.empty() || c.pols.size() > 4)
        return "pols= must name 1 to 4 polarisations";
    if (!(c.inttime >= 1.0 && c.inttime <= 3600.0))
        return "inttime must be 1 to 3600 seconds";
    if (!(c.hours >= 0.0 && c.hours <= 240.0))
        return "hours must be 0 to 240";
    if (c.scans < 1 || c.scans > 10000)
        return "scans must be 1 to 10000";
    if (!(c.sfreq > 0.0 && c.bandwidth > 0.0 && c.noise >= 0.0))
        return "sfreq and bandwidth must be positive and noise not negative";
    if (c.cal && c.nants > 64)
        return "cal=yes allows at most 64 antennas";
    if (c.faultAnt1 != 0 && !(c.faultAnt1 >= 1 && c.faultAnt1 < c.faultAnt2 && c.faultAnt2 <= c.nants))
        return "the faulty baseline must be two different antennas of the array";
    if (c.cal && c.uvh5)
        return "cal=yes writes calibration tables, which only a uv data set holds";
    if (c.uvh5 && c.corr16)
        return "corr=j is a uv data set's storage; a UVH5 file holds floats";
    return {};
}

std::vector<Integration> schedule(const ObserveConfig& config)
{
    const auto slots = static_cast<int64_t>(std::floor(config.hours * 3600.0 / config.inttime + 1e-9)) + 1;
    const int scans = static_cast<int>(std::min<int64_t>(config.scans, slots));
    const int nsrc = static_cast<int>(config.sources.size());
    std::vector<Integration> times;
    for (int k = 0; k < scans; ++k) {
        const int64_t first = slots * k / scans, end = slots * (k + 1) / scans;
        // A gap of about a sixth of the slot ends every scan but the last.
        const int64_t gap = (k + 1 < scans && end - first >= 3) ? std::max<int64_t>(1, (end - first) / 6) : 0;
        const int source = nsrc == 1 ? 0 : (k % 2 == 0 ? 0 : 1 + (k / 2) % (nsrc - 1));
        for (int64_t s = first; s < end - gap; ++s)
            times.push_back({static_cast<double>(s) * config.inttime, source});
    }
    return times;
}

Interference plannedInterference(const ObserveConfig& config)
{
    Interference rfi;
    rfi.edgeChannels = config.nchan >= 20 ? config.nchan / 20 : 0;
    Random rng(config.seed ^ 0x5eedf00dULL);
    const int lo = rfi.edgeChannels + 2, hi = config.nchan - rfi.edgeChannels - 3;
    const auto n = static_cast<int>(schedule(config).size());
    if (config.rfi)
        planShared(config, rng, lo, hi, n, rfi);
    // The one baseline's faults: a channel and an integration that no shared fault has.
    if (config.faultAnt1 > 0 && hi - lo >= 16 && n >= 8) {
        Random own(config.seed ^ 0xba5e1eULL);
        auto taken = [](const std::vector<int>& v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); };
        do
            rfi.faultChannel = own.integer(lo, hi);
        while (taken(rfi.channels, rfi.faultChannel));
        do
            rfi.faultIntegration = own.integer(0, n - 1);
        while (taken(rfi.burstIntegrations, rfi.faultIntegration));
    }
    return rfi;
}

namespace {

void planShared(const ObserveConfig& config, Random& rng, int lo, int hi, int n, Interference& rfi)
{
    if (hi - lo >= 8) {
        std::set<int> chans;
        while (chans.size() < 3)
            chans.insert(rng.integer(lo, hi));
        rfi.channels.assign(chans.begin(), chans.end());
    }
    if (n >= 6) {
        std::set<int> bursts;
        for (int k = 0; k < 3; ++k) {
            const int start = rng.integer(0, n - 2);
            bursts.insert(start);
            if (rng.uniform() < 0.5)
                bursts.insert(start + 1);
        }
        rfi.burstIntegrations.assign(bursts.begin(), bursts.end());
    }
    if (config.nants >= 4)
        rfi.badAntenna = rng.integer(2, config.nants);
}

}  // namespace

ObserveSummary observe(const ObserveConfig& config, const std::function<void(int64_t, int64_t)>& progress)
{
    const Plan plan = makePlan(config);
    Random noise(config.seed * 0x9e3779b97f4a7c15ULL + 1);
    const int nchan = config.nchan;
    const double df = config.bandwidth / nchan;

    ObserveSummary summary;
    summary.rfi = plan.rfi;
    summary.integrations = static_cast<int64_t>(plan.times.size());
    summary.baselines = config.nants * (config.nants - 1) / 2;
    summary.recordsPerSource.assign(config.sources.size(), 0);

    UvDescription d;
    d.nants = config.nants;
    d.windows = {Window{nchan, config.sfreq, df, kRestFreq}};
    d.pols = config.pols;
    d.corrType = config.corr16 ? 'j' : 'r';
    d.uvw = true;
    d.inttime = config.inttime;
    d.times.clear();
    for (const Integration& it : plan.times)
        d.times.push_back(kStartJd + it.seconds / 86400.0);
    d.source = [&](int t) { return plan.fields[plan.times[t].source].name; };

    // The geometry of the integration being written: hour angle terms of its field.
    struct Pointing {
        int timeIndex = -1;
        double lst = 0.0, sh = 0.0, ch = 1.0, sd = 0.0, cd = 1.0;
        std::complex<double> badJump{1.0, 0.0};
        bool burst = false;
    } now;
    std::vector<std::complex<double>> jumps(plan.times.size(), 1.0);  // badJump of each integration
    auto point = [&](int t) {
        if (t == now.timeIndex)
            return;
        if (progress && now.timeIndex >= 0)
            progress(now.timeIndex + 1, summary.integrations);
        const Field& field = plan.fields[plan.times[t].source];
        now.timeIndex = t;
        now.lst = std::fmod(gmst(d.times[t]) + kLongitude, 2 * kPi);
        const double ha = now.lst - field.ra;
        now.sh = std::sin(ha), now.ch = std::cos(ha), now.sd = std::sin(field.dec), now.cd = std::cos(field.dec);
        // The misbehaving antenna jumps in gain and phase from one integration to the next.
        if (plan.rfi.badAntenna)
            now.badJump = std::polar(noise.uniform(0.3, 2.5), noise.uniform(-kPi, kPi));
        jumps[t] = now.badJump;
        now.burst = plan.burstSet.count(t) != 0;
    };
    d.coord = [&](UvRecord& r) {
        point(r.timeIndex);
        const auto& p1 = plan.antennas[r.ant1 - 1];
        const auto& p2 = plan.antennas[r.ant2 - 1];
        const double bx = p2[0] - p1[0], by = p2[1] - p1[1], bz = p2[2] - p1[2];
        r.u = now.sh * bx + now.ch * by;
        r.v = -now.sd * now.ch * bx + now.sd * now.sh * by + now.cd * bz;
        r.w = now.cd * now.ch * bx - now.cd * now.sh * by + now.sd * bz;
        r.lst = now.lst;
    };

    // Variables that stay the same through the observation, and the record being built.
    const float epoch = 2000.0f, jyperk = 1.0f;
    const std::string telescope = "kestrum-sim";
    std::vector<double> antpos(3 * config.nants);
    for (int a = 0; a < config.nants; ++a)
        for (int k = 0; k < 3; ++k)
            antpos[k * config.nants + a] = plan.antennas[a][k];
    const std::vector<float> systemp(config.nants, 50.0f);
    const double latitude = kLatitude, longitude = kLongitude;
    std::vector<std::complex<double>> sky(nchan);
    std::vector<std::complex<float>> data(nchan);
    int skyTime = -1;
    double skyBaseline = -1.0;

    d.perRecord = [&](int tno, const UvRecord& r) {
        const Integration& it = plan.times[r.timeIndex];
        const Field& field = plan.fields[it.source];
        const double hours = it.seconds / 3600.0;
        if (tno) {
            uvputvr_c(tno, kDouble, "antpos", antpos.data(), 3 * config.nants);
            uvputvr_c(tno, kReal, "epoch", &epoch, 1);
            uvputvr_c(tno, kReal, "jyperk", &jyperk, 1);
            uvputvr_c(tno, kReal, "systemp", systemp.data(), config.nants);
            uvputvr_c(tno, kDouble, "latitud", &latitude, 1);
            uvputvr_c(tno, kDouble, "longitu", &longitude, 1);
            uvputvr_c(tno, kChar, "telescop", telescope.c_str(), static_cast<int>(telescope.size()));
            uvputvr_c(tno, kDouble, "ra", &field.ra, 1);
            uvputvr_c(tno, kDouble, "dec", &field.dec, 1);
            uvputvr_c(tno, kDouble, "obsra", &field.ra, 1);
            uvputvr_c(tno, kDouble, "obsdec", &field.dec, 1);
            uvputvr_c(tno, kDouble, "lst", &now.lst, 1);
        }

        // The sky seen by this baseline, once for all its polarisations: each component's
        // phase grows linearly with frequency, so it advances by a fixed rotation per channel.
        if (skyTime != r.timeIndex || skyBaseline != r.baseline) {
            skyTime = r.timeIndex;
            skyBaseline = r.baseline;
            std::fill(sky.begin(), sky.end(), std::complex<double>(0.0, 0.0));
            const std::vector<double>& spec = plan.spectra[it.source];
            for (size_t k = 0; k < field.components.size(); ++k) {
                const Component& cp = field.components[k];
                const double n1 = std::sqrt(std::max(0.0, 1.0 - cp.l * cp.l - cp.m * cp.m)) - 1.0;
                const double delay = r.u * cp.l + r.v * cp.m + r.w * n1;  // ns
                std::complex<double> rot = std::polar(1.0, -2 * kPi * delay * config.sfreq);
                const std::complex<double> step = std::polar(1.0, -2 * kPi * delay * df);
                const double* sp = &spec[k * nchan];
                for (int c = 0; c < nchan; ++c) {
                    sky[c] += sp[c] * rot;
                    rot *= step;
                }
            }
        }

        const int a1 = r.ant1, a2 = r.ant2;
        const bool bad = a1 == plan.rfi.badAntenna || a2 == plan.rfi.badAntenna;
        const double sigma = config.noise * (bad ? 3.0 : 1.0);
        const auto [f1, f2] = feeds(r.pol);
        std::complex<double> g =
            plan.gains[(a1 - 1) * 2 + f1].at(hours) * std::conj(plan.gains[(a2 - 1) * 2 + f2].at(hours));
        if (bad)
            g *= a1 == plan.rfi.badAntenna ? now.badJump : std::conj(now.badJump);
        // Cross hands see only a small leakage of the unpolarised sky.
        if (!parallelHand(r.pol))
            g *= std::polar(0.03, 0.7 * (a1 - a2) + (f1 ? 1.1 : -0.4));
        const auto& bp1 = plan.bandpass[(a1 - 1) * 2 + f1];
        const auto& bp2 = plan.bandpass[(a2 - 1) * 2 + f2];
        // With calibration tables, a delay per antenna: the phase of a1's side falls and a2's
        // rises with frequency from the first channel on, which the delay terms undo.
        const double delayRate = config.cal ? plan.delays[a2 - 1] - plan.delays[a1 - 1] : 0.0;
        for (int c = 0; c < nchan; ++c) {
            std::complex<double> vis =
                g * std::complex<double>(bp1[c]) * std::conj(std::complex<double>(bp2[c])) * sky[c];
            if (delayRate != 0.0)
                vis *= std::polar(1.0, c * df * delayRate);
            vis += std::complex<double>(sigma * noise.normal(), sigma * noise.normal());
            data[c] = std::complex<float>(vis);
        }
        const double rfiScale = parallelHand(r.pol) ? 1.0 : 0.2;
        // A transmitter in a few channels, all the time, on every baseline.
        for (size_t k = 0; k < plan.rfi.channels.size(); ++k) {
            const double amp = rfiScale * (25.0 + 10.0 * k) * (1.0 + 0.3 * std::sin(hours * (2.0 + k)));
            const double phase = 0.9 * (a2 - a1) * (k + 1) + hours * 3.0;
            data[plan.rfi.channels[k]] += std::complex<float>(std::polar(amp, phase));
        }
        // The one baseline's own transmitter and burst.
        if (a1 == config.faultAnt1 && a2 == config.faultAnt2) {
            data[plan.rfi.faultChannel] += std::complex<float>(std::polar(rfiScale * 20.0, hours));
            if (r.timeIndex == plan.rfi.faultIntegration)
                for (int c = 0; c < nchan; ++c)
                    data[c] += std::complex<float>(std::polar(rfiScale * 30.0 * (1.0 + std::cos(0.1 * c)), 0.02 * c));
        }
        // A broad-band burst: strong across the whole band for one integration.
        if (now.burst) {
            const double phase0 = noise.uniform(-kPi, kPi);
            for (int c = 0; c < nchan; ++c) {
                const double amp = rfiScale * 40.0 * (0.7 + 0.3 * std::cos(2 * kPi * c / nchan));
                data[c] += std::complex<float>(std::polar(amp, phase0 + 0.01 * c));
            }
        }
        ++summary.recordsPerSource[it.source];
    };
    d.value = [&](const UvRecord&, int c) { return data[c]; };
    const int edges = plan.rfi.edgeChannels;
    d.good = [edges, nchan](const UvRecord&, int c) { return c >= edges && c < nchan - edges; };

    summary.records = config.uvh5 ? writeUvh5(config.out, d) : writeUv(config.out, d);
    if (config.cal) {
        writeCalibration(config, plan, d.times, jumps);
        summary.cal = plan.calGaps;
    }
    if (progress && summary.integrations > 0)
        progress(summary.integrations, summary.integrations);
    return summary;
}

}  // namespace kestrum::sim
