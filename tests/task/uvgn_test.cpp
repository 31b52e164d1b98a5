// Gain, delay and bandpass calibration: interpolation and reach of gain solutions, feed pairs,
// a simulated data set corrupted by known gains, delays and bandpasses that must read back as
// its model, and every fatal message for a table that triggers it.
#include "task/uvgn.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "dataset/headio.h"
#include "dataset/hio.h"
#include "dataset/uvio.h"
#include "task/basant.h"
#include "task/key.h"
#include "task/uvdat.h"
#include "tests/support/support.h"
#include "tools/sim/calwriter.h"

namespace {

using kestrum::sim::BandpassTable;
using kestrum::sim::BaselineGains;
using kestrum::sim::GainTable;
using kestrum::sim::SpectralWindow;
using cplx = std::complex<double>;

constexpr double kT0 = 2460000.5;
constexpr double kMinute = 1.0 / 1440.0;

// What uvgnfac made of one record.
struct Result {
    std::vector<cplx> data;
    std::vector<int> flags;
    float grms = 0;
    bool allFlagged() const {
        for (int f : flags) if (f) return false;
        return true;
    }
};

// Calibrates `nchan` channels of value 1 (all good) on the data set calibration was set up for.
Result calibrateOnes(double time, int a1, int a2, int pol = -5, int nchan = 4) {
    Result r;
    std::vector<float> data(2 * size_t(nchan));
    for (int c = 0; c < nchan; c++) data[2 * c] = 1, data[2 * c + 1] = 0;
    r.flags.assign(nchan, 1);
    uvgnfac(time, antbas(a1, a2), pol, 0, data.data(), r.flags.data(), nchan, &r.grms);
    for (int c = 0; c < nchan; c++) r.data.emplace_back(data[2 * c], data[2 * c + 1]);
    return r;
}

// A data set holding only calibration tables, for the gain tests that need no records.
class GainsOnly : public ::testing::Test {
protected:
    std::string path() const { return dir.file("gains.uv"); }

    void write(const GainTable &g) {
        int tno, iostat;
        hopen_c(&tno, path().c_str(), "new", &iostat);
        ASSERT_EQ(iostat, 0);
        kestrum::sim::writeGains(tno, g);
        hclose_c(tno);
    }
    void open() {
        int iostat;
        hopen_c(&tno, path().c_str(), "old", &iostat);
        ASSERT_EQ(iostat, 0);
        uvgnini(tno, 1, 0);
    }
    void TearDown() override {
        if (tno) {
            uvgnfin();
            hclose_c(tno);
        }
    }

    kestrum::test::TempDir dir;
    int tno = 0;
};

cplx polarDeg(double amp, double deg) { return std::polar(amp, deg * std::numbers::pi / 180); }

TEST_F(GainsOnly, HalfwayRecordGetsAmplitudeMeanAndPhaseAlongTheShorterArc) {
    GainTable g(2, 1, 0, 0.1);
    g.addSolution(kT0);
    g.addSolution(kT0 + 0.1);
    g.gain(0, 1, 1) = kestrum::sim::Gain(polarDeg(1, 170));
    g.gain(1, 1, 1) = kestrum::sim::Gain(polarDeg(3, -170));
    write(g);
    open();

    // Halfway: amplitude 2, phase 180 degrees (through 180, not through 0).
    Result r = calibrateOnes(kT0 + 0.05, 1, 2);
    ASSERT_FALSE(r.allFlagged());
    EXPECT_NEAR(std::abs(r.data[0]), 2.0, 1e-5);
    EXPECT_NEAR(std::abs(std::arg(r.data[0])), std::numbers::pi, 1e-5);
    EXPECT_NEAR(r.grms, 2.0, 1e-5);
    for (int c = 1; c < 4; c++) EXPECT_EQ(r.data[c], r.data[0]);

    // A quarter of the way along: amplitude 1.5, phase 175 degrees.
    r = calibrateOnes(kT0 + 0.025, 1, 2);
    EXPECT_NEAR(std::abs(r.data[0] - polarDeg(1.5, 175)), 0, 1e-5);

    // At the solutions themselves their own gains; the second antenna enters conjugated.
    r = calibrateOnes(kT0, 1, 2);
    EXPECT_NEAR(std::abs(r.data[0] - polarDeg(1, 170)), 0, 1e-6);
    r = calibrateOnes(kT0 + 0.1, 1, 2);
    EXPECT_NEAR(std::abs(r.data[0] - polarDeg(3, -170)), 0, 1e-6);
    r = calibrateOnes(kT0, 1, 1);
    EXPECT_NEAR(std::abs(r.data[0] - cplx(1, 0)), 0, 1e-6);
}

TEST_F(GainsOnly, ARecordNearOnlyOneSolutionGetsThatGainAndOneOutOfReachIsFlagged) {
    GainTable g(3, 1, 0, 0.03);
    g.addSolution(kT0);
    g.addSolution(kT0 + 0.1);
    g.gain(0, 2, 1) = {2, 0};
    g.gain(1, 2, 1) = {0, 4};
    write(g);
    open();

    Result r = calibrateOnes(kT0 + 0.02, 1, 2);  // only the earlier is near
    EXPECT_NEAR(std::abs(r.data[0] - cplx(2, 0)), 0, 1e-6);
    EXPECT_EQ(r.flags, std::vector<int>(4, 1));
    r = calibrateOnes(kT0 + 0.08, 1, 2);  // only the later is near
    EXPECT_NEAR(std::abs(r.data[0] - cplx(0, -4)), 0, 1e-6);
    EXPECT_FLOAT_EQ(r.grms, 4.0f);

    for (double t : {kT0 + 0.05, kT0 - 0.031, kT0 - 5, kT0 + 0.131, kT0 + 7}) {
        r = calibrateOnes(t, 1, 2);
        EXPECT_TRUE(r.allFlagged()) << t - kT0;
        EXPECT_EQ(r.data[0], cplx(1, 0)) << "flagged records keep their data";
        EXPECT_EQ(r.grms, 1.0f);
    }
    // Back in reach after being out of it, in either direction.
    EXPECT_FALSE(calibrateOnes(kT0 - 0.029, 1, 2).allFlagged());
    EXPECT_FALSE(calibrateOnes(kT0 + 0.129, 1, 2).allFlagged());
}

TEST_F(GainsOnly, ZeroGainFlagsItsAntennaUnlessTheOtherNearSolutionHasAGain) {
    GainTable g(5, 1, 0, 0.08);
    g.addSolution(kT0);
    g.addSolution(kT0 + 0.1);
    g.gain(0, 5, 1) = {0, 0};
    g.gain(1, 5, 1) = {3, 0};
    write(g);
    open();

    EXPECT_TRUE(calibrateOnes(kT0 + 0.01, 1, 5).allFlagged());   // only the zero one is near
    EXPECT_TRUE(calibrateOnes(kT0 + 0.01, 5, 5).allFlagged());
    EXPECT_FALSE(calibrateOnes(kT0 + 0.01, 1, 4).allFlagged());  // other antennas unaffected
    Result r = calibrateOnes(kT0 + 0.05, 1, 5);                  // both near: the later's gain
    ASSERT_FALSE(r.allFlagged());
    EXPECT_NEAR(std::abs(r.data[0] - cplx(3, 0)), 0, 1e-6);
}

TEST_F(GainsOnly, AntennasOutsideTheTableAreFlagged) {
    GainTable g(3, 1, 0, 0.1);
    g.addSolution(kT0);
    write(g);
    open();
    EXPECT_FALSE(calibrateOnes(kT0, 2, 3).allFlagged());
    EXPECT_TRUE(calibrateOnes(kT0, 2, 4).allFlagged());
    EXPECT_TRUE(calibrateOnes(kT0, 4, 4).allFlagged());
}

TEST_F(GainsOnly, RecordsInAnyTimeOrderFindTheirSolution) {
    const int nsols = 1000;
    GainTable g(2, 1, 0, 0.4 * kMinute);
    for (int s = 0; s < nsols; s++) {
        g.addSolution(kT0 + s * kMinute);
        g.gain(s, 1, 1) = kestrum::sim::Gain(float(s + 1), 0);
    }
    write(g);
    open();
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(0, nsols - 1);
    for (int i = 0; i < 3000; i++) {
        // Jumps of every size forwards and backwards, and runs of neighbours.
        int s = i % 3 == 0 ? pick(rng) : (i * 7) % nsols;
        double t = kT0 + s * kMinute + (i % 2 ? 0.3 : -0.3) * kMinute;
        Result r = calibrateOnes(t, 1, 2, -5, 1);
        ASSERT_FALSE(r.allFlagged()) << s;
        ASSERT_NEAR(r.data[0].real(), s + 1, 1e-4) << "record near solution " << s;
        ASSERT_TRUE(calibrateOnes(t + (i % 2 ? 0.2 : -0.2) * kMinute, 1, 2, -5, 1).allFlagged());
    }
}

TEST_F(GainsOnly, TwoFeedsPairTheFeedsByPolarisationAndFlagStokesRecords) {
    GainTable g(2, 2, 0, 0.1);
    g.addSolution(kT0);
    g.gain(0, 1, 1) = {2, 0};
    g.gain(0, 1, 2) = {3, 0};
    g.gain(0, 2, 1) = {0, 5};
    g.gain(0, 2, 2) = {0, 7};
    write(g);
    open();
    struct Case { int pol; cplx expect; };
    // g1(feed) * conj(g2(feed)): feed 1 R/X, feed 2 L/Y.
    for (Case c : {Case{-1, {0, -10}}, Case{-5, {0, -10}}, Case{-2, {0, -21}}, Case{-6, {0, -21}},
                   Case{-3, {0, -14}}, Case{-7, {0, -14}}, Case{-4, {0, -15}}, Case{-8, {0, -15}}}) {
        Result r = calibrateOnes(kT0, 1, 2, c.pol);
        ASSERT_FALSE(r.allFlagged()) << c.pol;
        EXPECT_NEAR(std::abs(r.data[0] - c.expect), 0, 1e-5) << c.pol;
    }
    for (int pol : {1, 2, 3, 4}) EXPECT_TRUE(calibrateOnes(kT0, 1, 2, pol).allFlagged()) << pol;
}

// ---------------------------------------------------------------------------------------------
// Simulated uv data sets.

// One record to write: time, antennas, polarisation, channel values and flags.
struct Record {
    double time;
    int a1, a2;
    int pol;
    std::vector<cplx> data;
    std::vector<int> flags;
    double sfreq = 0;  // when not 0: the first window starts here instead
};

// Extras of a simulated data set beyond its records and spectral windows.
struct UvExtras {
    int npol = 1;
    int nwide = 0;          // wide-band channels ("wcorr", "wfreq", "wwidth") in every record
    bool velocity = false;  // "restfreq", "veldop", "vsource", so velocity lines can be read
};

// Writes records with the given spectral windows (none: no window variables at all) as a uv
// data set; `tables` then writes the calibration tables into it.
void writeUv(const std::string &path, const std::vector<SpectralWindow> &windows,
             const std::vector<Record> &records, const std::function<void(int)> &tables,
             const UvExtras &extras = {}) {
    int tno;
    uvopen_c(&tno, path.c_str(), "new");
    uvset_c(tno, "preamble", "uv/time/baseline", 0, 0, 0, 0);
    std::vector<int> nschan;
    std::vector<double> sfreq, sdf;
    for (const SpectralWindow &w : windows) {
        nschan.push_back(w.nchan);
        sfreq.push_back(w.sfreq);
        sdf.push_back(w.sdf);
    }
    const float zero = 0;
    const int nspect = int(windows.size());
    std::vector<float> wfreq, wwidth, wdata;
    std::vector<int> wflags(size_t(extras.nwide), 1);
    for (int w = 0; w < extras.nwide; w++) {
        wfreq.push_back(0.1f + 0.01f * w);
        wwidth.push_back(0.01f);
        wdata.push_back(1), wdata.push_back(0);
    }
    for (const Record &r : records) {
        if (nspect > 0) {
            uvputvr_c(tno, IO_INT, "nspect", &nspect, 1);
            uvputvr_c(tno, IO_INT, "nschan", nschan.data(), nspect);
            std::vector<double> starts = sfreq;
            if (r.sfreq != 0) starts[0] = r.sfreq;
            uvputvr_c(tno, IO_DBLE, "sfreq", starts.data(), nspect);
            uvputvr_c(tno, IO_DBLE, "sdf", sdf.data(), nspect);
        }
        if (extras.velocity) {
            uvputvr_c(tno, IO_DBLE, "restfreq", sfreq.data(), nspect);
            uvputvr_c(tno, IO_REAL, "veldop", &zero, 1);
            uvputvr_c(tno, IO_REAL, "vsource", &zero, 1);
        }
        if (extras.nwide > 0) {
            uvputvr_c(tno, IO_INT, "nwide", &extras.nwide, 1);
            uvputvr_c(tno, IO_REAL, "wfreq", wfreq.data(), extras.nwide);
            uvputvr_c(tno, IO_REAL, "wwidth", wwidth.data(), extras.nwide);
            uvwwrite_c(tno, wdata.data(), wflags.data(), extras.nwide);
        }
        uvputvr_c(tno, IO_INT, "npol", &extras.npol, 1);
        uvputvr_c(tno, IO_INT, "pol", &r.pol, 1);
        std::vector<float> data;
        for (cplx v : r.data) data.push_back(float(v.real())), data.push_back(float(v.imag()));
        const double preamble[4] = {10.0 * r.a1, 20.0 * r.a2, r.time, antbas(r.a1, r.a2)};
        uvwrite_c(tno, preamble, data.data(), r.flags.data(), int(r.data.size()));
    }
    tables(tno);
    uvclose_c(tno);
}

// The simulation: 6 antennas, two windows (the second with falling frequency), gain solutions
// every 10 minutes valid for 4.5 minutes with the sixth missing, antenna 4 without a gain in the
// eighth solution, delay terms, and two bandpass solutions (one up to 60 minutes, one after),
// with no bandpass for antenna 2 in channel 3.
struct Simulation {
    static constexpr int nants = 6;
    std::vector<SpectralWindow> windows{{8, 0.150, 0.001}, {8, 0.175, -0.0005}};
    GainTable gains{nants, 1, 1, 4.5 * kMinute};
    BandpassTable bandpass{nants, 1, 1, windows};
    std::vector<Record> model;      // what calibration must give back
    std::vector<Record> observed;   // what the data set holds
    std::vector<bool> reachable;    // whether calibration can reach each record at all

    Simulation() {
        gains.freq0 = 0.16;
        for (int k = 0; k <= 10; k++) {
            if (k == 5) continue;
            int s = gains.addSolution(kT0 + k * 10 * kMinute);
            for (int a = 1; a <= nants; a++) {
                gains.gain(s, a, 1) = kestrum::sim::Gain(polarDeg(1 + 0.1 * a + 0.05 * k, 17.0 * a - 11.0 * k));
                gains.delay(s, a) = kestrum::sim::Gain(float(0.05 * (a - 3)), float(3.0 * (a - 3) + 0.5 * k));
            }
        }
        gains.gain(7, 4, 1) = {0, 0};  // solution at 80 minutes
        for (int s = 0; s < 2; s++) {
            bandpass.addSolution(kT0 + (60 + s * 0.5) * kMinute, true);
            for (int a = 1; a <= nants; a++)
                for (int c = 0; c < bandpass.nchan(); c++)
                    bandpass.value(s, a, 1, c) = kestrum::sim::Gain(
                        polarDeg(1 + 0.02 * c * a / 6.0 + 0.1 * s, 3.0 * c - 6.0 * a + 12.0 * s));
            bandpass.value(s, 2, 1, 3) = {0, 0};
        }

        const int nchan = bandpass.nchan();
        for (int j = -5; j <= 55; j++) {
            const double t = kT0 + 2 * j * kMinute;
            const int bps = j <= 30 ? 0 : 1;
            for (int a1 = 1; a1 <= nants; a1++)
                for (int a2 = a1; a2 <= nants; a2++) {
                    Record m{t, a1, a2, -5, {}, std::vector<int>(nchan, 1)};
                    Record o = m;
                    cplx G, T;
                    bool ok = kestrum::sim::gainProduct(gains, t, a1, 1, a2, 1, &G, &T);
                    for (int c = 0; c < nchan; c++) {
                        cplx v = std::polar(2.0 + a1 - 0.1 * a2 + 0.05 * c, 0.2 * a1 - 0.3 * a2 + 0.01 * c + 5 * j);
                        m.data.push_back(v);
                        cplx f = ok ? G * kestrum::sim::bandpassProduct(bandpass, bps, a1, 1, a2, 1, c) *
                                          kestrum::sim::delayFactor(T, bandpass.frequency(c), gains.freq0)
                                    : 1.0;
                        bool bad = std::abs(f) == 0;
                        o.data.push_back(bad ? v : v / f);
                        if (bad) m.flags[c] = 0;
                    }
                    if (a1 == 1 && a2 == 2) o.flags[5] = m.flags[5] = 0;  // flagged in the data
                    if (!ok) m.flags.assign(nchan, 0);
                    reachable.push_back(ok);
                    model.push_back(std::move(m));
                    observed.push_back(std::move(o));
                }
        }
    }

    void write(const std::string &path) const {
        writeUv(path, windows, observed, [this](int tno) {
            kestrum::sim::writeGains(tno, gains);
            kestrum::sim::writeBandpass(tno, bandpass, false);
        });
    }
};

// Calibrated data must equal the model to single-precision rounding, with the model's flags.
void expectModel(const Record &m, const std::vector<float> &data, const std::vector<int> &flags, size_t i) {
    for (size_t c = 0; c < m.data.size(); c++) {
        ASSERT_EQ(flags[c], m.flags[c]) << "record " << i << " channel " << c;
        if (!m.flags[c]) continue;
        cplx got(data[2 * c], data[2 * c + 1]);
        ASSERT_LE(std::abs(got - m.data[c]), 4e-6 * std::abs(m.data[c])) << "record " << i << " channel " << c;
    }
}

TEST(UvgnSimulated, CorruptedDataCalibratedRecordByRecordIsTheModel) {
    kestrum::test::TempDir dir;
    Simulation sim;
    sim.write(dir.file("sim.uv"));
    int tno;
    uvopen_c(&tno, dir.file("sim.uv").c_str(), "old");
    uvgnini(tno, 1, 1);
    std::vector<float> data(64);
    std::vector<int> flags(32);
    double preamble[4];
    int nread, flaggedRecords = 0, partial = 0;
    size_t i = 0;
    for (;; i++) {
        uvread_c(tno, preamble, data.data(), flags.data(), 32, &nread);
        if (nread == 0) break;
        ASSERT_LT(i, sim.model.size());
        ASSERT_EQ(nread, 16);
        float grms;
        uvgnfac(preamble[2], preamble[3], 0, 0, data.data(), flags.data(), nread, &grms);
        expectModel(sim.model[i], data, flags, i);
        if (!sim.reachable[i]) flaggedRecords++;
        else if (sim.model[i].flags != std::vector<int>(16, 1)) partial++;
    }
    EXPECT_EQ(i, sim.model.size());
    // Out of reach: before the first solution, around the missing one, after the last, and
    // antenna 4 near its zero gain.
    EXPECT_GT(flaggedRecords, 100);
    EXPECT_GT(partial, 100);
    uvgnfin();
    uvclose_c(tno);
}

TEST(UvgnSimulated, GainAmplitudeIsReported) {
    kestrum::test::TempDir dir;
    Simulation sim;
    sim.write(dir.file("sim.uv"));
    int tno;
    uvopen_c(&tno, dir.file("sim.uv").c_str(), "old");
    uvgnini(tno, 1, 1);
    std::vector<float> data(32, 1.0f);
    std::vector<int> flags(16, 1);
    float grms = 0;
    double preamble[4];
    int nread;
    uvread_c(tno, preamble, data.data(), flags.data(), 16, &nread);
    // 2 minutes after the first solution, whose gain amplitudes are 1 + 0.1 * antenna.
    uvgnfac(kT0 + 2 * kMinute, antbas(2, 3), -5, 0, data.data(), flags.data(), 16, &grms);
    EXPECT_NEAR(grms, (1 + 0.2) * (1 + 0.3), 1e-5);
    uvgnfin();
    uvclose_c(tno);
}

// Two bandpass solutions an hour apart, antenna 1 only differing: a record halfway between
// them gets the amplitude mean and the phase halfway along the shorter arc.
TEST(UvgnSimulated, HalfwayBetweenBandpassSolutions) {
    kestrum::test::TempDir dir;
    std::vector<SpectralWindow> windows{{4, 0.1, 0.01}};
    BandpassTable bp(2, 1, 0, windows);
    bp.addSolution(kT0, true);
    bp.addSolution(kT0 + 1.0 / 24, true);
    for (int c = 0; c < 4; c++) {
        bp.value(0, 1, 1, c) = kestrum::sim::Gain(polarDeg(1, 160));
        bp.value(1, 1, 1, c) = kestrum::sim::Gain(polarDeg(2, -140));
    }
    std::vector<Record> recs{{kT0 + 0.5 / 24, 1, 2, -5, std::vector<cplx>(4, 1.0), std::vector<int>(4, 1)}};
    writeUv(dir.file("bp.uv"), windows, recs, [&](int tno) { kestrum::sim::writeBandpass(tno, bp, true); });

    int tno;
    uvopen_c(&tno, dir.file("bp.uv").c_str(), "old");
    uvgnini(tno, 0, 1);
    std::vector<float> data(8);
    std::vector<int> flags(4);
    double preamble[4];
    int nread;
    float grms;
    for (double t : {kT0 + 0.5 / 24, kT0 - 1, kT0 + 1}) {
        uvrewind_c(tno);
        uvread_c(tno, preamble, data.data(), flags.data(), 4, &nread);
        ASSERT_EQ(nread, 4);
        uvgnfac(t, preamble[3], 0, 0, data.data(), flags.data(), nread, &grms);
        EXPECT_EQ(grms, 1.0f);
        cplx expect = t < kT0 ? polarDeg(1, 160) : t > kT0 + 0.1 ? polarDeg(2, -140) : polarDeg(1.5, 190);
        for (int c = 0; c < 4; c++) {
            EXPECT_EQ(flags[c], 1);
            EXPECT_NEAR(std::abs(cplx(data[2 * c], data[2 * c + 1]) - expect), 0, 1e-5) << t - kT0;
        }
    }
    uvgnfin();
    uvclose_c(tno);
}

TEST(UvgnSimulated, AveragedChannelsGetTheMeanBandpassAfterAWarning) {
    kestrum::test::TempDir dir;
    std::vector<SpectralWindow> windows{{4, 0.1, 0.01}};
    BandpassTable bp(2, 1, 0, windows);
    bp.addSolution();
    for (int c = 0; c < 4; c++) bp.value(0, 1, 1, c) = kestrum::sim::Gain(float(c + 1), 0);
    bp.value(0, 1, 1, 3) = {0, 0};
    std::vector<Record> recs{{kT0, 1, 2, -5, std::vector<cplx>(4, 1.0), std::vector<int>(4, 1)}};
    writeUv(dir.file("bp.uv"), windows, recs, [&](int tno) { kestrum::sim::writeBandpass(tno, bp, true); });

    testing::internal::CaptureStderr();
    int tno;
    uvopen_c(&tno, dir.file("bp.uv").c_str(), "old");
    uvset_c(tno, "data", "channel", 2, 1, 2, 2);
    uvgnini(tno, 0, 1);
    std::vector<float> data(8);
    std::vector<int> flags(4);
    double preamble[4];
    int nread;
    float grms;
    uvread_c(tno, preamble, data.data(), flags.data(), 4, &nread);
    ASSERT_EQ(nread, 2);
    uvgnfac(preamble[2], preamble[3], 0, 0, data.data(), flags.data(), nread, &grms);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("### Warning:  Performing linetype averaging before applying bandpass!!\n"
                       "### Warning:   ... this may be very unwise\n"), std::string::npos) << err;
    EXPECT_NEAR(data[0], 1.5, 1e-6);  // channels 1 and 2
    EXPECT_NEAR(data[2], 3.0, 1e-6);  // channel 3 alone: channel 4 has no bandpass
    EXPECT_EQ(flags[0], 1);
    EXPECT_EQ(flags[1], 1);
    uvgnfin();
    uvclose_c(tno);
}

// Reads the first record (with its wide channels when `wide`) and calibrates it.
Result calibrateFirstRecord(const std::string &path, int dogains, int dopass, bool wide) {
    int tno;
    uvopen_c(&tno, path.c_str(), "old");
    uvgnini(tno, dogains, dopass);
    std::vector<float> data(128);
    Result r;
    r.flags.assign(64, 0);
    double preamble[4];
    int nread;
    uvread_c(tno, preamble, data.data(), r.flags.data(), 64, &nread);
    if (wide) uvwread_c(tno, data.data(), r.flags.data(), 64, &nread);
    uvgnfac(preamble[2], preamble[3], 0, wide, data.data(), r.flags.data(), nread, &r.grms);
    r.flags.resize(size_t(nread));
    for (int c = 0; c < nread; c++) r.data.emplace_back(data[2 * c], data[2 * c + 1]);
    uvgnfin();
    uvclose_c(tno);
    return r;
}

// Per-baseline channel gains: each baseline's own values; channels beyond the table, baselines
// beyond it and zero entries flagged. "cgains" is for the channels, "wgains" for wide data.
TEST(UvgnSimulated, PerBaselineChannelGainsWithoutABandpass) {
    kestrum::test::TempDir dir;
    for (bool wide : {false, true}) {
        BaselineGains table(64, 3);  // 64 antennas assumed without a gain table
        for (int c = 0; c < 3; c++) {
            table.value(1, 2, c) = kestrum::sim::Gain(float(c + 1), 2);
            table.value(2, 3, c) = kestrum::sim::Gain(0, float(c + 5));
        }
        table.value(2, 3, 1) = {0, 0};
        UvExtras extras;
        extras.nwide = 4;
        int n = 0;
        for (auto [a1, a2] : {std::pair{1, 2}, std::pair{2, 3}, std::pair{3, 70}}) {
            const std::string path = dir.file("cg" + std::to_string(wide) + std::to_string(n++) + ".uv");
            std::vector<Record> recs{{kT0, a1, a2, -5, std::vector<cplx>(4, 1.0), std::vector<int>(4, 1)}};
            writeUv(path, {{4, 0.1, 0.01}}, recs, [&](int tno) { kestrum::sim::writeBaselineGains(tno, table, wide); }, extras);
            Result r = calibrateFirstRecord(path, 0, 1, wide);
            ASSERT_EQ(r.flags.size(), 4u);
            EXPECT_EQ(r.flags[3], 0) << "beyond the table's channels";
            if (a2 == 70) {
                EXPECT_TRUE(r.allFlagged());
            } else if (a1 == 1) {
                for (int c = 0; c < 3; c++) EXPECT_EQ(r.data[c], cplx(c + 1, 2)) << wide;
                EXPECT_EQ(r.flags, (std::vector<int>{1, 1, 1, 0}));
            } else {
                EXPECT_EQ(r.data[0], cplx(0, 5));
                EXPECT_EQ(r.data[2], cplx(0, 7));
                EXPECT_EQ(r.flags, (std::vector<int>{1, 0, 1, 0}));
            }
        }
    }
}

// Wide channels get the bandpass of the channels within their band.
TEST(UvgnSimulated, WideChannelsGetTheBandpassWithinTheirBand) {
    kestrum::test::TempDir dir;
    BandpassTable bp(2, 1, 0, {{4, 0.1, 0.01}});
    bp.addSolution();
    for (int c = 0; c < 4; c++) bp.value(0, 1, 1, c) = kestrum::sim::Gain(float(c + 1), 0);
    bp.value(0, 2, 1, 2) = {0, 0};
    UvExtras extras;
    extras.nwide = 5;  // at 0.10 ... 0.14 GHz, 0.01 wide: the last one has no bandpass
    std::vector<Record> recs{{kT0, 1, 2, -5, std::vector<cplx>(4, 1.0), std::vector<int>(4, 1)}};
    const std::string path = dir.file("wide.uv");
    writeUv(path, {{4, 0.1, 0.01}}, recs, [&](int tno) { kestrum::sim::writeBandpass(tno, bp, true); }, extras);
    Result r = calibrateFirstRecord(path, 0, 1, true);
    ASSERT_EQ(r.data.size(), 5u);
    EXPECT_EQ(r.flags, (std::vector<int>{1, 1, 0, 1, 0}));
    EXPECT_NEAR(std::abs(r.data[0] - cplx(1, 0)), 0, 1e-6);
    EXPECT_NEAR(std::abs(r.data[1] - cplx(2, 0)), 0, 1e-6);
    EXPECT_NEAR(std::abs(r.data[3] - cplx(4, 0)), 0, 1e-6);
}

// ---------------------------------------------------------------------------------------------
// Through the access layer, as the viewer reads.

std::vector<std::string> keywords(const std::vector<std::string> &texts) {
    keyinic();
    for (const std::string &t : texts) keyputc(t.c_str());
    return texts;
}

TEST(UvgnAccessLayer, DeliversTheModelAndAnnouncesTheCorrections) {
    kestrum::test::TempDir dir;
    Simulation sim;
    const std::string path = dir.file("sim.uv");
    sim.write(path);
    keywords({"vis=" + path});
    uvdatinp("vis", "sdlwbcef");
    int tno = 0;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(uvdatopn(&tno));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Applying bandpass corrections to " + path + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Applying gain corrections to " + path + "\n"), std::string::npos) << out;
    std::vector<float> data(64);
    std::vector<int> flags(32);
    double preamble[4];
    int nread;
    size_t i = 0;
    for (;; i++) {
        uvdatrd(preamble, data.data(), flags.data(), 32, &nread);
        if (nread == 0) break;
        ASSERT_LT(i, sim.model.size());
        expectModel(sim.model[i], data, flags, i);
    }
    EXPECT_EQ(i, sim.model.size());
    uvdatcls();
}

// Two feeds, XX and YY records per baseline and time, each corrupted by its own feed's gains;
// Stokes I formed from the calibrated products is the model.
TEST(UvgnAccessLayer, StokesFromTwoFeedsCalibratesEveryProductWithItsFeeds) {
    kestrum::test::TempDir dir;
    std::vector<SpectralWindow> windows{{4, 0.1, 0.01}};
    GainTable g(3, 2, 0, 0.01);
    g.addSolution(kT0);
    for (int a = 1; a <= 3; a++) {
        g.gain(0, a, 1) = kestrum::sim::Gain(polarDeg(1 + 0.5 * a, 30.0 * a));
        g.gain(0, a, 2) = kestrum::sim::Gain(polarDeg(2 - 0.3 * a, -50.0 * a));
    }
    std::vector<Record> recs;
    std::vector<cplx> model;
    for (int a1 = 1; a1 <= 3; a1++)
        for (int a2 = a1 + 1; a2 <= 3; a2++) {
            cplx m = std::polar(1.0 + a1 + a2, 0.1 * a1 * a2);
            model.push_back(m);
            for (int feed = 1; feed <= 2; feed++) {
                cplx G = cplx(g.gain(0, a1, feed)) * std::conj(cplx(g.gain(0, a2, feed)));
                recs.push_back({kT0, a1, a2, feed == 1 ? -5 : -6, std::vector<cplx>(4, m / G), std::vector<int>(4, 1)});
            }
        }
    const std::string path = dir.file("feeds.uv");
    UvExtras extras;
    extras.npol = 2;
    writeUv(path, windows, recs, [&](int tno) { kestrum::sim::writeGains(tno, g); }, extras);

    keywords({"vis=" + path, "stokes=i"});
    uvdatinp("vis", "sdlwbcef");
    int tno = 0;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(uvdatopn(&tno));
    testing::internal::GetCapturedStdout();
    std::vector<float> data(8);
    std::vector<int> flags(4);
    double preamble[4];
    int nread;
    size_t i = 0;
    for (;; i++) {
        uvdatrd(preamble, data.data(), flags.data(), 4, &nread);
        if (nread == 0) break;
        ASSERT_LT(i, model.size());
        for (int c = 0; c < 4; c++) {
            EXPECT_EQ(flags[c], 1);
            EXPECT_LE(std::abs(cplx(data[2 * c], data[2 * c + 1]) - model[i]), 4e-6 * std::abs(model[i]));
        }
    }
    EXPECT_EQ(i, model.size());
    uvdatcls();
}

// A bandpass of six channels at 0.10 ... 0.15 GHz, antenna 1's channel c being c + 1, and
// records of four channels whose window starts at 0.10 or at 0.12 GHz from record to record
// (for every `group` records), all values 1: each must get the bandpass of its own channels.
struct MovingWindow {
    BandpassTable bp{2, 1, 0, {{6, 0.10, 0.01}}};
    std::vector<Record> records;
    MovingWindow(int group, const std::vector<int> &pols) {
        bp.addSolution();
        for (int c = 0; c < 6; c++) bp.value(0, 1, 1, c) = kestrum::sim::Gain(float(c + 1), 0);
        for (int i = 0; i < 12; i++)
            for (int pol : pols)
                records.push_back({kT0 + i * kMinute, 1, 2, pol, std::vector<cplx>(4, 1.0), std::vector<int>(4, 1),
                                   (i / group) % 3 == 1 ? 0.12 : 0.10});
    }
    // What channel c of record i must become.
    double expected(size_t i, int c, int group, size_t npol) const {
        return c + 1 + ((i / npol / size_t(group)) % 3 == 1 ? 2 : 0);
    }
};

TEST(UvgnSimulated, BandpassFollowsTheRecordsSpectralSetUp) {
    kestrum::test::TempDir dir;
    for (int group : {1, 2}) {
        MovingWindow mw(group, {-5});
        const std::string path = dir.file("moving" + std::to_string(group) + ".uv");
        writeUv(path, {{4, 0.10, 0.01}}, mw.records, [&](int tno) { kestrum::sim::writeBandpass(tno, mw.bp, true); });
        int tno;
        uvopen_c(&tno, path.c_str(), "old");
        uvgnini(tno, 0, 1);
        std::vector<float> data(8);
        std::vector<int> flags(4);
        double preamble[4];
        int nread;
        float grms;
        for (size_t i = 0;; i++) {
            uvread_c(tno, preamble, data.data(), flags.data(), 4, &nread);
            if (nread == 0) break;
            uvgnfac(preamble[2], preamble[3], 0, 0, data.data(), flags.data(), nread, &grms);
            for (int c = 0; c < 4; c++) ASSERT_NEAR(data[2 * c], mw.expected(i, c, group, 1), 1e-6) << i << " " << c;
        }
        uvgnfin();
        uvclose_c(tno);
    }
}

// The same through Stokes I from XX and YY groups: the set-up changes with the first product of
// a group, and calibration is applied after the whole group has been read.
TEST(UvgnAccessLayer, BandpassFollowsTheSetUpOfRecordGroups) {
    kestrum::test::TempDir dir;
    MovingWindow mw(1, {-5, -6});
    const std::string path = dir.file("moving.uv");
    UvExtras extras;
    extras.npol = 2;
    writeUv(path, {{4, 0.10, 0.01}}, mw.records, [&](int tno) { kestrum::sim::writeBandpass(tno, mw.bp, true); }, extras);
    keywords({"vis=" + path, "stokes=i"});
    uvdatinp("vis", "sdlwbcef");
    int tno = 0;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(uvdatopn(&tno));
    testing::internal::GetCapturedStdout();
    std::vector<float> data(8);
    std::vector<int> flags(4);
    double preamble[4];
    int nread;
    size_t i = 0;
    for (;; i++) {
        uvdatrd(preamble, data.data(), flags.data(), 4, &nread);
        if (nread == 0) break;
        for (int c = 0; c < 4; c++) ASSERT_NEAR(data[2 * c], mw.expected(2 * i, c, 1, 2), 1e-6) << i << " " << c;
    }
    EXPECT_EQ(i, 12u);
    uvdatcls();
}

// ---------------------------------------------------------------------------------------------
// Fatal messages: each for a table that triggers it.

using Build = std::function<void(int tno)>;

// A data set with one record of 4 channels in one window and the tables `build` writes.
std::string dataSet(const kestrum::test::TempDir &dir, const Build &build,
                    std::vector<SpectralWindow> windows = {{4, 0.1, 0.01}}, int nchan = 4,
                    const UvExtras &extras = {}) {
    static int count = 0;
    const std::string path = dir.file("bad" + std::to_string(++count) + ".uv");
    std::vector<Record> recs{{kT0, 1, 2, -5, std::vector<cplx>(size_t(nchan), 1.0), std::vector<int>(size_t(nchan), 1)}};
    writeUv(path, windows, recs, build, extras);
    return path;
}

// Opens the data set and sets calibration up (in the child of a death test).
void openAndInit(const std::string &path, int dogains, int dopass) {
    int tno;
    uvopen_c(&tno, path.c_str(), "old");
    uvgnini(tno, dogains, dopass);
}

// Opens, sets up, reads the record (with the given line) and calibrates it.
void calibrateFirst(const std::string &path, int dogains, int dopass, const char *line = nullptr,
                    int dowide = 0) {
    int tno;
    uvopen_c(&tno, path.c_str(), "old");
    if (line && std::string(line) == "velocity") uvset_c(tno, "data", line, 4, 0, 1, 1);
    else if (line) uvset_c(tno, "data", line, 0, 1, 2, 2);
    uvgnini(tno, dogains, dopass);
    std::vector<float> data(128);
    std::vector<int> flags(64);
    double preamble[4];
    int nread;
    float grms;
    uvread_c(tno, preamble, data.data(), flags.data(), 64, &nread);
    if (dowide) uvwread_c(tno, data.data(), flags.data(), 64, &nread);
    uvgnfac(preamble[2], preamble[3], 0, dowide, data.data(), flags.data(), nread, &grms);
}

GainTable oneSolution(int nants = 2, int nfeeds = 1, int ntau = 0) {
    GainTable g(nants, nfeeds, ntau, 0.1);
    g.addSolution(kT0);
    return g;
}

// Writes the gain table, then overrides header values with `tweak`.
Build gainsThen(const std::function<void(int)> &tweak, GainTable g = oneSolution()) {
    return [=](int tno) {
        kestrum::sim::writeGains(tno, g);
        tweak(tno);
    };
}

void appendByte(int tno, const char *item) {
    int ih, iostat;
    haccess_c(tno, &ih, item, "append", &iostat);
    ASSERT_EQ(iostat, 0);
    const char b = 0;
    hwriteb_c(ih, &b, hsize_c(ih), 1, &iostat);
    hdaccess_c(ih, &iostat);
}

void truncateItem(int tno, const char *item, int keep) {
    std::vector<char> bytes(static_cast<size_t>(keep));
    int ih, iostat;
    haccess_c(tno, &ih, item, "read", &iostat);
    hreadb_c(ih, bytes.data(), 0, keep, &iostat);
    hdaccess_c(ih, &iostat);
    haccess_c(tno, &ih, item, "write", &iostat);
    hwriteb_c(ih, bytes.data(), 0, keep, &iostat);
    hdaccess_c(ih, &iostat);
}

TEST(UvgnDeathTest, GainHeaderValuesAndTableSize) {
    kestrum::test::TempDir dir;
    struct Case {
        std::function<void(int)> tweak;
        GainTable table;
        const char *message;
    };
    const std::vector<Case> cases{
        {[](int t) { wrhdi_c(t, "ngains", 0); }, oneSolution(), "Number of gains is missing or bad, in uvGnIni"},
        {[](int t) { wrhdi_c(t, "nfeeds", 3); }, oneSolution(), "Number of feeds is bad"},
        {[](int t) { wrhdi_c(t, "ntau", 2); }, oneSolution(), "Number of delay terms is bad"},
        {[](int t) { wrhdi_c(t, "ngains", 5); }, oneSolution(2, 2), "Bad number of gains or feeds"},
        {[](int) {}, oneSolution(65), "Too many antennae for me to handle, in uvGnIni"},
        {[](int t) { wrhdi_c(t, "nsols", 0); }, oneSolution(), "Number of gain solutions is missing or bad, in uvGnIni"},
        {[](int t) { wrhdd_c(t, "interval", 0.0); }, oneSolution(), "The time interval increment is missing or bad, in uvGnIni"},
        {[](int t) { appendByte(t, "gains"); }, oneSolution(), "Gain table size is incorrect"},
        {[](int t) { wrhdi_c(t, "nsols", 2); }, oneSolution(), "Gain table size is incorrect"},
    };
    for (const Case &c : cases) {
        const std::string path = dataSet(dir, gainsThen(c.tweak, c.table));
        EXPECT_EXIT(openAndInit(path, 1, 0), ::testing::ExitedWithCode(1),
                    std::string("### Fatal Error:  ") + c.message + "\n")
            << c.message;
    }
    // The gains item missing while its header values are there.
    const std::string path = dataSet(dir, gainsThen([](int t) {
        int iostat;
        hdelete_c(t, "gains", &iostat);
    }));
    EXPECT_EXIT(openAndInit(path, 1, 0), ::testing::ExitedWithCode(1),
                "### Warning:  I/O error when accessing gains table, in Gains routines\\.\n"
                "### Fatal Error:  No such file or directory\n");
}

BandpassTable oneBandpass(int nchan = 4) {
    BandpassTable b(2, 1, 0, {{nchan, 0.1, 0.01}});
    b.addSolution();
    return b;
}

Build bandpassThen(const std::function<void(int)> &tweak, BandpassTable b = oneBandpass()) {
    return [=](int tno) {
        kestrum::sim::writeBandpass(tno, b, true);
        tweak(tno);
    };
}

TEST(UvgnDeathTest, BandpassHeaderValuesAndTables) {
    kestrum::test::TempDir dir;
    BandpassTable seventeen(2, 1, 0, std::vector<SpectralWindow>(17, {1, 0.1, 0.01}));
    seventeen.addSolution();
    struct Case {
        Build build;
        const char *message;
    };
    const std::vector<Case> cases{
        {bandpassThen([](int t) { wrhdi_c(t, "nchan0", 0); }), "Invalid value for nchan, ngains or nspect, in uvDat"},
        {bandpassThen([](int t) { wrhdi_c(t, "nspect0", 0); }), "Invalid value for nchan, ngains or nspect, in uvDat"},
        {bandpassThen([](int t) { wrhdi_c(t, "nchan0", 5); }), "Invalid value for nchan, ngains or nspect, in uvDat"},
        {bandpassThen([](int) {}, seventeen), "Too many spectral windows for me to handle, in uvDat"},
        {bandpassThen([](int t) { wrhdi_c(t, "nbpsols", 1025); }), "Too many bandpass solutions for me too handle, in uvGn"},
        {bandpassThen([](int t) { appendByte(t, "bandpass"); }),
         "Bandpass table size is incorrect\\. This happens when the inputs for tovak and renul are inconsistent"},
        {bandpassThen([](int t) { wrhdi_c(t, "nbpsols", 1); }),
         "Bandpass table size is incorrect\\. This happens when the inputs for tovak and renul are inconsistent"},
        {bandpassThen([](int t) { wrhdi_c(t, "ngains", 0); }), "Number of gains is missing or bad, in uvGnIni"},
        {bandpassThen([](int t) { int iostat; hdelete_c(t, "freqs", &iostat); }),
         "### Warning:  I/O error when accessing freqs table, in Gains routines\\.\n### Fatal Error:  No such file or directory"},
        {bandpassThen([](int t) { truncateItem(t, "freqs", 20); }),
         "### Warning:  I/O error when reading freqs table, in Gains routines\\.\n### Fatal Error:  End of file detected"},
        {[](int t) { wrhdi_c(t, "ncgains", 0); wrhdi_c(t, "ncbase", 3); }, "Number of gains is missing or bad, in uvGnInic"},
        {[](int t) { wrhdi_c(t, "ncgains", 4); }, "Number of baselines is missing or bad, in uvGnInic"},
        {[](int t) { wrhdi_c(t, "nwbase", 3); }, "Number of gains is missing or bad, in uvGnIniw"},
        {[](int t) { wrhdi_c(t, "nwgains", 4); }, "Number of baselines is missing or bad, in uvGnIniw"},
    };
    for (const Case &c : cases) {
        const std::string path = dataSet(dir, [&](int tno) {
            c.build(tno);
            // Table items the header values above refer to, for the per-baseline cases.
            if (!hexists_c(tno, "bandpass")) {
                int ih, iostat;
                const char head[8] = {};
                haccess_c(tno, &ih, hexists_c(tno, "nwgains") || hexists_c(tno, "nwbase") ? "wgains" : "cgains", "write", &iostat);
                hwriteb_c(ih, head, 0, 8, &iostat);
                hdaccess_c(ih, &iostat);
            }
        });
        EXPECT_EXIT(openAndInit(path, 0, 1), ::testing::ExitedWithCode(1), c.message) << c.message;
    }
}

TEST(UvgnDeathTest, RecordSetUpsTheBandpassCannotBeMatchedTo) {
    kestrum::test::TempDir dir;
    const Build bp = bandpassThen([](int) {});
    std::string path = dataSet(dir, bp, {});
    EXPECT_EXIT(calibrateFirst(path, 0, 1), ::testing::ExitedWithCode(1),
                "### Fatal Error:  Bad value for variable nspect, in uvGn\\(pass-get\\)\n");
    path = dataSet(dir, bp, std::vector<SpectralWindow>(17, {1, 0.1, 0.01}), 17);
    EXPECT_EXIT(calibrateFirst(path, 0, 1), ::testing::ExitedWithCode(1),
                "### Fatal Error:  nchan\\.gt\\.maxspect, in uvGn\\(pass-get\\)\n");
    path = dataSet(dir, bp, {{4, 0.1, 0.01}}, 6);
    EXPECT_EXIT(calibrateFirst(path, 0, 1), ::testing::ExitedWithCode(1),
                "### Fatal Error:  Inconsistent number of channels, in uvGn\\(pass-get\\)\n");
    path = dataSet(dir, bp, {{-2, 0.1, 0.01}, {4, 0.1, 0.01}}, 4);  // a window of -2 channels
    EXPECT_EXIT(calibrateFirst(path, 0, 1), ::testing::ExitedWithCode(1),
                "### Fatal Error:  Inconsistent number of channels, in uvGn\\(pass-get\\)\n");
    UvExtras velocity;
    velocity.velocity = true;
    path = dataSet(dir, bp, {{4, 0.1, 0.01}}, 4, velocity);
    EXPECT_EXIT(calibrateFirst(path, 0, 1, "velocity"), ::testing::ExitedWithCode(1),
                "### Fatal Error:  Cannot apply bandpass correction with velocity linetype\n");
    UvExtras wide;
    wide.nwide = 4;
    path = dataSet(dir, bp, {{4, 0.1, 0.01}}, 4, wide);
    EXPECT_EXIT(calibrateFirst(path, 0, 1, "wide", 1), ::testing::ExitedWithCode(1),
                "### Fatal Error:  Linetype width and step must be 1, in Gains routines\\.\n");
    wide.nwide = 17;
    path = dataSet(dir, bp, {{4, 0.1, 0.01}}, 4, wide);
    EXPECT_EXIT(calibrateFirst(path, 0, 1, nullptr, 1), ::testing::ExitedWithCode(1),
                "### Fatal Error:  nwide\\.gt\\.maxspect, in uvGn\\(pass-get\\)\n");
    // A bandpass solution time that is no number leaves no interval for any record.
    BandpassTable timed = oneBandpass();
    timed.addSolution(NAN, true);
    timed.times.insert(timed.times.begin(), kT0 - 1);
    path = dataSet(dir, bandpassThen([](int) {}, timed));
    EXPECT_EXIT(calibrateFirst(path, 0, 1), ::testing::ExitedWithCode(1),
                "### Fatal Error:  uvGn: corrupted bp table\\?\n");
}

}  // namespace
