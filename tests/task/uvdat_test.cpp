// The uv data access layer driven through the keywords as a task drives it, on data sets
// written here and on the real data sets: polarisation handling and leakage, and gain, delay and
// bandpass calibration (interpolation and reach of solutions, a simulated data set corrupted by
// known gains, delays and bandpasses that must read back as its model, every fatal message).
#include "task/uvdat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <functional>
#include <map>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "dataset/headio.h"
#include "dataset/hio.h"
#include "dataset/uvio.h"
#include "task/basant.h"
#include "task/key.h"
#include "task/uvgn.h"
#include "tests/support/support.h"
#include "tools/sim/calwriter.h"

namespace {

using ::testing::ExitedWithCode;
using cf = std::complex<float>;
using cplx = std::complex<double>;
using kestrum::sim::BandpassTable;
using kestrum::sim::BaselineGains;
using kestrum::sim::GainTable;
using kestrum::sim::SpectralWindow;
using kestrum::test::TempDir;
using Tables = std::function<void(int tno)>;

constexpr double kT0 = 2460000.5;
constexpr double kMinute = 1.0 / 1440.0;
constexpr int kMax = 32772;
constexpr double kTime0 = 2458042.1;

// ---- Writing data sets ----

struct Product {
    int pol;
    std::vector<cf> data;
    std::vector<int> flags;
};

// The records of one baseline and time: one record per product.
struct Group {
    int a1, a2;
    double time;
    float chi;
    std::vector<Product> products;
};

struct SetOptions {
    int npol = 0;  // "npol" written with this value (0: the group size, -1: no "npol" at all)
    std::vector<cf> leakage;  // per antenna D(1), D(2); written as "leakage" when not empty
    int leakageBytes = -1;  // a "leakage" item of this many zero bytes instead
    int headerNpol = 0;  // written as the header item "npol" when not 0
    const kestrum::sim::GainTable* gains = nullptr;  // written as "gains" when set
};

// One record to write: time, antennas, polarisation, channel values and flags.
struct Record {
    double time;
    int a1, a2;
    int pol;
    std::vector<cplx> data;
    std::vector<int> flags;
    double sfreq = 0;  // when not 0: the first window starts here instead
    float chi = 0;  // feed angle
};

// A record of `nchan` good channels of value 1.
Record ones(double time = kT0, int nchan = 4, int pol = -5, int a1 = 1, int a2 = 2)
{
    return {time, a1, a2, pol, std::vector<cplx>(size_t(nchan), 1.0), std::vector<int>(size_t(nchan), 1)};
}

// Extras of a simulated data set beyond its records and spectral windows.
struct UvExtras {
    int npol = 1;  // "npol" (not written when not positive)
    int nwide = 0;  // wide-band channels ("wcorr", "wfreq", "wwidth") in every record
};

const std::vector<SpectralWindow> kWindow{{4, 0.1, 0.01}};

// Writes records with the given spectral windows (none: no window variables at all) as a uv
// data set; `tables` then writes the calibration tables into it.
void writeUv(const std::string& path, const std::vector<SpectralWindow>& windows, const std::vector<Record>& records,
             const Tables& tables, const UvExtras& extras = {})
{
    int tno;
    uvopen_c(&tno, path.c_str(), "new");
    uvset_c(tno, "preamble", "uv/time/baseline", 0, 0, 0, 0);
    uvset_c(tno, "corr", "r", 0, 0, 0, 0);
    const int nspect = int(windows.size());
    std::vector<float> wfreq, wwidth(size_t(extras.nwide), 0.01f), wdata(2 * size_t(extras.nwide));
    std::vector<int> wflags(size_t(extras.nwide), 1);
    for (int w = 0; w < extras.nwide; w++)
        wfreq.push_back(0.1f + 0.01f * w), wdata[2 * w] = 1;
    for (const Record& r : records) {
        std::vector<int> nschan;
        std::vector<double> sfreq, sdf;  // the first window starting at the record's own sfreq if it has one
        for (const SpectralWindow& w : windows)
            nschan.push_back(w.nchan), sfreq.push_back(sfreq.empty() && r.sfreq ? r.sfreq : w.sfreq),
                sdf.push_back(w.sdf);
        if (nspect > 0) {
            uvputvr_c(tno, IO_INT, "nspect", &nspect, 1);
            uvputvr_c(tno, IO_INT, "nschan", nschan.data(), nspect);
            uvputvr_c(tno, IO_DBLE, "sfreq", sfreq.data(), nspect);
            uvputvr_c(tno, IO_DBLE, "sdf", sdf.data(), nspect);
        }
        if (extras.nwide > 0) {
            uvputvr_c(tno, IO_INT, "nwide", &extras.nwide, 1);
            uvputvr_c(tno, IO_REAL, "wfreq", wfreq.data(), extras.nwide);
            uvputvr_c(tno, IO_REAL, "wwidth", wwidth.data(), extras.nwide);
            uvwwrite_c(tno, wdata.data(), wflags.data(), extras.nwide);
        }
        if (extras.npol > 0)
            uvputvr_c(tno, IO_INT, "npol", &extras.npol, 1);
        uvputvr_c(tno, IO_INT, "pol", &r.pol, 1);
        uvputvr_c(tno, IO_REAL, "chi", &r.chi, 1);
        std::vector<float> data;
        for (cplx v : r.data)
            data.push_back(float(v.real())), data.push_back(float(v.imag()));
        const double preamble[4] = {10.0 * r.a1, 20.0 * r.a2, r.time, antbas(r.a1, r.a2)};
        uvwrite_c(tno, preamble, data.data(), r.flags.data(), int(r.data.size()));
    }
    tables(tno);
    uvclose_c(tno);
}

// The groups record by record in one window of as many channels as their first product, with
// the header items of `opt`.
void writeSet(const std::string& path, const std::vector<Group>& groups, const SetOptions& opt = {})
{
    std::vector<Record> records;
    for (const Group& g : groups)
        for (const Product& p : g.products)
            records.push_back({g.time, g.a1, g.a2, p.pol, {p.data.begin(), p.data.end()}, p.flags, 0, g.chi});
    UvExtras extras;
    extras.npol = opt.npol ? opt.npol : static_cast<int>(groups[0].products.size());
    const std::vector<SpectralWindow> window{{static_cast<int>(groups[0].products[0].data.size()), 0.15, 0.0001}};
    writeUv(
        path, window, records,
        [&](int t) {
            if (!opt.leakage.empty() || opt.leakageBytes >= 0) {
                int item = 0, st = 0;
                haccess_c(t, &item, "leakage", "write", &st);
                const std::vector<char> zeros(opt.leakageBytes >= 0 ? opt.leakageBytes : 8, 0);
                hwriteb_c(item, zeros.data(), 0, static_cast<off_t>(zeros.size()), &st);
                if (opt.leakageBytes < 0)
                    hwriter_c(item, reinterpret_cast<const float*>(opt.leakage.data()), 8,
                              static_cast<off_t>(8 * opt.leakage.size()), &st);
                ASSERT_EQ(st, 0);
                hdaccess_c(item, &st);
            }
            if (opt.headerNpol)
                wrhdi_c(t, "npol", opt.headerNpol);
            if (opt.gains)
                kestrum::sim::writeGains(t, *opt.gains);
        },
        extras);
}

// Groups of the given products on three baselines and four times, with a feed angle that
// changes with time.
std::vector<Group> makeGroups(const std::vector<int>& pols, int nchan = 16, unsigned seed = 1)
{
    std::mt19937 rng(seed);
    std::normal_distribution<float> n(0, 1);
    std::bernoulli_distribution bad(0.15);
    std::vector<Group> groups;
    for (int it = 0; it < 4; it++)
        for (auto [a1, a2] : {std::pair{1, 2}, {1, 3}, {2, 3}}) {
            Group g{a1, a2, kTime0 + it / 1440.0, 0.3f + 0.2f * it, {}};
            for (int p : pols) {
                g.products.push_back({p, std::vector<cf>(nchan), std::vector<int>(nchan)});
                for (int j = 0; j < nchan; j++)
                    g.products.back().data[j] = cf(n(rng), n(rng)), g.products.back().flags[j] = !bad(rng);
            }
            groups.push_back(std::move(g));
        }
    return groups;
}

// ---- Reading through the access layer ----

struct Got {
    double pre[5];
    std::vector<cf> data;
    std::vector<int> flags;
    int pol, visno;
    float grms = 0;  // from calibration itself
};

// Sets the keywords up as a task's command line would, reads them with the flag letters and
// reads every record of every input data set (at most `max` channels), with "pol" and "visno".
std::vector<Got> readAll(const std::string& vis, const std::string& stokes, const char* flags = "sdlwbcef",
                         int max = kMax)
{
    keyinic();
    keyputc(("vis=" + vis).c_str());
    if (!stokes.empty())
        keyputc(("stokes=" + stokes).c_str());
    uvdatinp("vis", flags);
    static float data[2 * kMax];
    static int fl[kMax];
    std::vector<Got> out;
    for (int tno = 0, n = 0; uvdatopn(&tno); uvdatcls())
        for (Got g; uvdatrd(g.pre, data, fl, max, &n), n > 0; out.push_back(g)) {
            g.data.assign(reinterpret_cast<cf*>(data), reinterpret_cast<cf*>(data) + n);
            g.flags.assign(fl, fl + n);
            uvdatgti("pol", &g.pol);
            uvdatgti("visno", &g.visno);
        }
    return out;
}

// What a request formed from one group must give: values and flags computed from the
// written products (RR, LL, RL, LR or XX, YY, XY, YX) by the textbook relations.
struct Expected {
    std::vector<cf> data;
    std::vector<int> flags;
};

Expected formed(const Group& g, const std::string& req)
{
    const size_t n = g.products[0].data.size();
    Expected e{std::vector<cf>(n), std::vector<int>(n, 1)};
    const std::vector<Product>& p = g.products;
    if (req == "ii") {  // mean of the good parallel hands
        for (size_t j = 0; j < n; j++) {
            const int a = p[0].flags[j], b = p[1].flags[j];
            e.data[j] = ((a ? p[0].data[j] : cf(0)) + (b ? p[1].data[j] : cf(0))) / float(std::max(a + b, 1));
            e.flags[j] = a || b;
        }
        return e;
    }
    const cf h = 0.5f, hi(0, 0.5f), r = std::polar(0.5f, 2 * g.chi), I(0, 1);
    const float c = 0.5f * std::cos(2 * g.chi), s = 0.5f * std::sin(2 * g.chi);
    using W = std::map<std::string, std::array<cf, 4>>;
    const W circular{{"i", {h, h, 0, 0}},  {"v", {h, -h, 0, 0}},    {"q", {0, 0, std::conj(r), r}},
                     {"qq", {0, 0, h, h}}, {"uu", {0, 0, hi, -hi}}, {"u", {0, 0, I * std::conj(r), -I * r}}};
    const W linear{{"i", {h, h, 0, 0}},  {"qq", {h, -h, 0, 0}},  {"v", {0, 0, hi, -hi}},
                   {"uu", {0, 0, h, h}}, {"q", {c, -c, -s, -s}}, {"u", {s, -s, c, c}}};
    const std::array<cf, 4> w = (p[0].pol > -5 ? circular : linear).at(req);
    for (size_t k = 0; k < 4; k++)
        for (size_t j = 0; j < n && w[k] != cf(0); j++) {
            e.data[j] += w[k] * p[k].data[j];
            e.flags[j] &= p[k].flags[j];
        }
    return e;
}

void expectRecord(const Got& got, const Expected& e, const std::string& what, double tolerance = 2e-5)
{
    ASSERT_EQ(got.data.size(), e.data.size()) << what;
    for (size_t j = 0; j < e.data.size(); j++)
        EXPECT_NEAR(std::abs(got.data[j] - e.data[j]), 0, tolerance) << what << " channel " << j;
    EXPECT_EQ(got.flags, e.flags) << what;
}

class UvdatTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string set(const std::string& name) { return dir.file(name); }
    // Groups of `pols` (see makeGroups) written as the data set `name`.
    std::vector<Group> written(const std::string& name, const std::vector<int>& pols, int nchan = 16, unsigned seed = 1,
                               const SetOptions& opt = {})
    {
        std::vector<Group> groups = makeGroups(pols, nchan, seed);
        writeSet(set(name), groups, opt);
        return groups;
    }
};

// ---- Stokes parameters formed from groups ----

TEST_F(UvdatTest, LinearAndCircularGroupsFormEveryStokesParameterInTurn)
{
    for (int base : {-5, -1}) {
        const std::string vis = set("pols" + std::to_string(-base) + ".uv");
        const std::vector<Group> groups =
            written("pols" + std::to_string(-base) + ".uv", {base, base - 1, base - 2, base - 3}, 16, -base);
        for (const std::vector<std::string>& reqs :
             {std::vector<std::string>{"i", "q", "u", "v"}, {"ii", "qq", "uu"}}) {
            std::string text;
            for (const std::string& r : reqs)
                text += (text.empty() ? "" : ",") + r;
            SCOPED_TRACE("stokes=" + text + " from products " + std::to_string(base));
            std::vector<Got> got = readAll(vis, text);
            ASSERT_EQ(got.size(), reqs.size() * groups.size());
            for (size_t k = 0; k < got.size(); k++) {
                const size_t g = k / reqs.size(), i = k % reqs.size();
                const std::string& req = reqs[i];
                expectRecord(got[k], formed(groups[g], req), req + " group " + std::to_string(g));
                EXPECT_EQ(got[k].pol, req[0] == 'i' ? 1 : req[0] == 'q' ? 2 : req[0] == 'u' ? 3 : 4);
                EXPECT_EQ(got[k].pre[2], groups[g].time);
                EXPECT_EQ(got[k].pre[3], 256.0 * groups[g].a1 + groups[g].a2);
                // The reader stands at the group's last record (4 per group): back by the
                // requests, on by the place of this one.
                EXPECT_EQ(got[k].visno, static_cast<int>(4 * (g + 1) - reqs.size() + i + 1));
            }
        }
    }
}

// A request met by products as they are: each delivered unchanged with its own number, or none.
TEST_F(UvdatTest, RequestsTheGroupsHoldAsProductsAreDeliveredUnchanged)
{
    const std::vector<Group> lin = written("lin.uv", {-5, -6, -7, -8});
    const std::vector<Group> one = written("stokesi.uv", {1}, 8, 6);  // groups of I alone
    SetOptions noNpol;
    noNpol.npol = -1;  // no "npol": records labelled with the request's code are selected
    const std::vector<Group> xx = written("xx.uv", {-5}, 8, 7, noNpol);
    const struct {
        const std::vector<Group>* groups;
        const char *vis, *req;
        std::vector<int> slots;  // the products delivered of each group
        int pol;
    } cases[] = {
        {&lin, "lin.uv", "xx", {0}, -5},  {&lin, "lin.uv", "yy", {1}, -6},   {&lin, "lin.uv", "xy", {2}, -7},
        {&lin, "lin.uv", "yx", {3}, -8},  {&lin, "lin.uv", "ii", {0, 1}, 1}, {&lin, "lin.uv", "rr", {}, 0},
        {&lin, "lin.uv", "lr", {}, 0},    {&one, "stokesi.uv", "i", {0}, 1}, {&one, "stokesi.uv", "ii", {0}, 1},
        {&one, "stokesi.uv", "q", {}, 0}, {&one, "stokesi.uv", "xx", {}, 0}, {&xx, "xx.uv", "xx", {0}, -5},
        {&xx, "xx.uv", "i", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.vis) + " stokes=" + c.req);
        const std::vector<Got> got = readAll(set(c.vis), c.req);
        ASSERT_EQ(got.size(), c.groups->size() * c.slots.size());
        for (size_t k = 0; k < got.size(); k++) {
            const size_t g = k / c.slots.size(), n = (*c.groups)[g].products.size();
            const int slot = c.slots[k % c.slots.size()];
            EXPECT_EQ(got[k].data, (*c.groups)[g].products[slot].data);
            EXPECT_EQ(got[k].flags, (*c.groups)[g].products[slot].flags);
            EXPECT_EQ(got[k].pol, c.pol);
            if (c.slots.size() == 1) {
                EXPECT_EQ(got[k].visno, static_cast<int>(n * g) + slot + 1) << "the record's own number";
            }
        }
    }
}

TEST_F(UvdatTest, AGroupThatCannotServeTheRequestIsSkipped)
{
    // Groups of XX and YY only, then full groups: V needs XY and YX.
    std::vector<Group> mixed = makeGroups({-5, -6}, 8, 4);
    const std::vector<Group> full = makeGroups({-5, -6, -7, -8}, 8, 5);
    mixed.insert(mixed.end(), full.begin(), full.end());
    writeSet(set("mixed.uv"), mixed);
    std::vector<Got> got = readAll(set("mixed.uv"), "v");
    ASSERT_EQ(got.size(), full.size());
    for (size_t k = 0; k < full.size(); k++)
        expectRecord(got[k], formed(full[k], "v"), "v");
    EXPECT_EQ(readAll(set("mixed.uv"), "i").size(), mixed.size());
}

// ---- Gains ----

// Each product gets the gains of its own feeds (1 for R and X, 2 for L and Y) before forming.
TEST_F(UvdatTest, GainsApplyToEachProductBeforeForming)
{
    namespace sim = kestrum::sim;
    sim::GainTable gains(3, 2, 0, 1.0);
    const int s = gains.addSolution(kTime0 + 2 / 1440.0);
    for (int a = 1; a <= 3; a++)
        for (int f = 1; f <= 2; f++)
            gains.gain(s, a, f) = std::polar(1.0f + 0.1f * a + 0.3f * f, 0.2f * a - 0.4f * f);
    SetOptions opt;
    opt.gains = &gains;
    const int feeds[4][2] = {{1, 1}, {2, 2}, {1, 2}, {2, 1}};  // XX, YY, XY, YX or RR, LL, RL, LR
    for (int base : {-5, -1}) {
        const std::string name = "gains" + std::to_string(-base) + ".uv";
        std::vector<Group> calibrated = written(name, {base, base - 1, base - 2, base - 3}, 8, 16, opt);
        for (Group& g : calibrated)
            for (int i = 0; i < 4; i++) {
                std::complex<double> p, d;
                EXPECT_TRUE(sim::gainProduct(gains, g.time, g.a1, feeds[i][0], g.a2, feeds[i][1], &p, &d));
                for (cf& x : g.products[i].data)
                    x *= cf(p);
            }
        testing::internal::CaptureStdout();
        for (const std::string req : {"i", "q", "v"}) {
            std::vector<Got> got = readAll(set(name), req);
            ASSERT_EQ(got.size(), calibrated.size()) << req;
            for (size_t k = 0; k < calibrated.size(); k++)
                expectRecord(got[k], formed(calibrated[k], req), req + " group " + std::to_string(k), 1e-4);
        }
        const std::string notice = "Applying gain corrections to " + set(name) + "\n";
        EXPECT_EQ(testing::internal::GetCapturedStdout(), notice + notice + notice);
    }
    // Records of a Stokes parameter have no pair of feeds: all their channels are flagged.
    written("gainsi.uv", {1}, 8, 17, opt);
    const std::vector<Got> got = readAll(set("gainsi.uv"), "i");
    ASSERT_EQ(got.size(), 12u);
    for (const Got& r : got)
        EXPECT_EQ(r.flags, std::vector<int>(8, 0));
}

// ---- Leakage ----

// Leakages D(1), D(2) of antennas 1 to 3.
const std::vector<cf> kLeakage = {{0.05f, 0.02f}, {-0.03f, 0.04f},  {0.08f, -0.01f},
                                  {0.02f, 0.06f}, {-0.04f, -0.05f}, {0.07f, 0.03f}};

// The groups (products 1..4 = RR, LL, RL, LR or XX, YY, XY, YX) as antennas with leakages D
// measure them: J(a1) V J(a2)^H with J = [[1, D(1)], [D(2), 1]] and V = [[p1, p3], [p4, p2]].
std::vector<Group> withLeakage(const std::vector<Group>& model, const std::vector<cf>& D)
{
    using Mat = std::array<std::array<cf, 2>, 2>;
    std::vector<Group> measured = model;
    for (Group& g : measured) {
        const int a = g.a1 - 1, b = g.a2 - 1;
        const Mat j1{{{cf(1), D[2 * a]}, {D[2 * a + 1], cf(1)}}};
        const Mat j2{{{cf(1), D[2 * b]}, {D[2 * b + 1], cf(1)}}};
        auto& p = g.products;
        for (size_t j = 0; j < p[0].data.size(); j++) {
            const Mat v{{{p[0].data[j], p[2].data[j]}, {p[3].data[j], p[1].data[j]}}};
            Mat m{};
            for (int r = 0; r < 2; r++)
                for (int c = 0; c < 2; c++)
                    for (int i = 0; i < 2; i++)
                        for (int k = 0; k < 2; k++)
                            m[r][c] += j1[r][i] * v[i][k] * std::conj(j2[c][k]);
            p[0].data[j] = m[0][0];
            p[1].data[j] = m[1][1];
            p[2].data[j] = m[0][1];
            p[3].data[j] = m[1][0];
        }
    }
    return measured;
}

TEST_F(UvdatTest, LeakageCorrectionRecoversTheModel)
{
    SetOptions opt;
    opt.leakage = kLeakage;
    for (bool circular : {true, false}) {
        SCOPED_TRACE(circular ? "circular" : "linear");
        const int base = circular ? -1 : -5;  // codes of the products 1..4: base, base-1, ...
        std::vector<Group> model = makeGroups({base, base - 1, base - 2, base - 3}, 8, 10);
        const std::vector<Group> measured = withLeakage(model, kLeakage);
        const std::string vis = set(circular ? "leakc.uv" : "leakl.uv");
        writeSet(vis, measured, opt);
        for (const std::string req : {"i", "q", "u", "v", circular ? "rr" : "xy"}) {
            std::vector<Got> got = readAll(vis, req);
            ASSERT_EQ(got.size(), model.size()) << req;
            for (size_t k = 0; k < model.size(); k++) {
                Expected e =
                    req.size() == 1 ? formed(model[k], req) : Expected{model[k].products[circular ? 0 : 2].data, {}};
                // Every product of the group enters the corrected sum.
                e.flags.assign(8, 1);
                for (int j = 0; j < 8; j++)
                    for (const Product& p : measured[k].products)
                        e.flags[j] &= p.flags[j];
                expectRecord(got[k], e, req + " group " + std::to_string(k));
            }
        }
        // Without a request each product is corrected, and the correction is announced.
        testing::internal::CaptureStdout();
        std::vector<Got> got = readAll(vis, "");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Applying polarization leakage corrections to " + vis + "\n");
        ASSERT_EQ(got.size(), 4 * model.size());
        for (size_t k = 0; k < got.size(); k++) {
            EXPECT_EQ(got[k].pol, model[k / 4].products[k % 4].pol);
            for (int j = 0; j < 8; j++)
                EXPECT_NEAR(std::abs(got[k].data[j] - model[k / 4].products[k % 4].data[j]), 0, 2e-5);
        }
    }
}

// ---- Input lists, line and processing switches ----

// Without "corr" the data line becomes the wide channels.
TEST_F(UvdatTest, DataSetsWithOnlyWideChannelsDeliverThem)
{
    int t = 0;
    uvopen_c(&t, set("wideonly.uv").c_str(), "new");
    uvset_c(t, "preamble", "uv/time/baseline", 0, 0, 0, 0);
    const float w[4] = {1, 2, 3, 4};
    const int wf[2] = {1, 0};
    const double p[4] = {1, 2, kTime0, 258};
    uvwwrite_c(t, w, wf, 2);
    uvwrite_c(t, p, nullptr, nullptr, 0);
    uvclose_c(t);
    std::vector<Got> got = readAll(set("wideonly.uv"), "", "dlb");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, (std::vector<cf>{{1, 2}, {3, 4}}));
    EXPECT_EQ(got[0].flags, std::vector<int>(wf, wf + 2));
}

// ---- The real data sets as the viewer reads them ----

// Every record with its time, baseline, channel sum and flags as the data set's bytes hold
// them (an independent walk of the format), whether asked for xx, for nothing or for ii.
TEST(UvdatRealData, DeliversWhatTheBytesHold)
{
    const std::pair<const char*, size_t> sets[] = {{"PAPER_point_source_sim.uv", 600},
                                                   {"zen.2458042.12552.xx.HH.uvXA", 1680},
                                                   {"zen.2457698.40355.xx.HH.uvcA", 190}};
    for (const auto& [name, records] : sets) {
        SCOPED_TRACE(name);
        const std::string vis = kestrum::test::sharedData(name);
        const std::vector<kestrum::test::RawRecord> raw = kestrum::test::rawRecords(vis);
        ASSERT_EQ(raw.size(), records);
        for (const char* stokes : {"xx", "", "ii"}) {
            std::vector<Got> got = readAll(vis, stokes);
            ASSERT_EQ(got.size(), records) << "stokes=" << stokes;
            for (size_t k = 0; k < got.size(); k++) {
                ASSERT_EQ(got[k].data.size(), size_t(raw[k].nchan));
                double sum = 0;
                for (cf x : got[k].data)
                    sum = sum + x.real() + x.imag();
                ASSERT_EQ(sum, raw[k].sum) << k;
                ASSERT_EQ(std::count(got[k].flags.begin(), got[k].flags.end(), 0), raw[k].bad) << k;
                ASSERT_EQ(got[k].pre[2], raw[k].time) << k;
                ASSERT_EQ(static_cast<int>(got[k].pre[3] + 0.5), raw[k].baseline) << k;
                ASSERT_EQ(got[k].visno, static_cast<int>(k) + 1);
                ASSERT_EQ(got[k].pol, std::string(stokes) == "ii" ? 1 : -5);
            }
        }
        EXPECT_TRUE(readAll(vis, "i").empty()) << "XX alone cannot form I";
        EXPECT_TRUE(readAll(vis, "yy").empty());
    }
}

// ---- Fatal errors ----

TEST_F(UvdatTest, BadRequestsGroupsAndTablesAreFatal)
{
    written("lin.uv", {-5, -6, -7, -8}, 8);
    auto ragged = makeGroups({-5, -6}, 8);
    ragged[1].products[1].data.resize(4);
    ragged[1].products[1].flags.resize(4);
    writeSet(set("ragged.uv"), ragged);
    SetOptions five, noNpol, badLeakage, halfGroups;
    five.npol = 5;
    noNpol.npol = -1;
    badLeakage.leakageBytes = 20;
    halfGroups.leakage = std::vector<cf>(6, {0.01f, 0});
    halfGroups.headerNpol = 2;
    written("five.uv", {-5, -6}, 8, 1, five);
    written("xx.uv", {-5}, 4, 1, noNpol);
    written("badleak.uv", {-1, -2, -3, -4}, 4, 1, badLeakage);
    written("half.uv", {-1, -2}, 4, 1, halfGroups);
    const std::string lin = set("lin.uv");
    const struct {
        std::string vis, stokes;
        int max;
        const char* message;
    } cases[] = {
        {lin, "Xx", kMax, "Unrecognized polarization mnemonic: Xx"},
        {lin, "i,q,u,v,rr", kMax, "Too many Stokes parameters to process"},
        {lin + "," + lin, "i", kMax, "Only one input vis file is allowed"},
        {set("missing.uv"), "i", kMax, "File does not exist: .*missing.uv"},
        {lin, "i", 4, "Data array too small in UvDatRd"},
        {set("ragged.uv"), "i", kMax, "Number of channels of data changed in uvPolIni"},
        {set("five.uv"), "i", kMax, "Invalid number of polarisations for me to handle"},
        {set("xx.uv"), "i,q", kMax, "Needed polarizations missing from .*xx.uv"},
        {set("badleak.uv"), "i", kMax, "Leakage table appears bad"},
        {set("half.uv"), "i", kMax, "Required polarizations missing from the file"},
    };
    for (const auto& c : cases)
        EXPECT_EXIT(readAll(c.vis, c.stokes, "sdlwbcef", c.max), ExitedWithCode(1), c.message) << c.message;
    EXPECT_EXIT((keyinic(), uvdatinp("vis", "s")), ExitedWithCode(1), "No input files were given.");
}

// Half groups cannot be corrected (but "ii" never is); an antenna beyond the table (here 3 of
// antennas 1 and 2) gives flagged zeros.
TEST_F(UvdatTest, LeakageNeedsFullGroupsAndAntennasInTheTable)
{
    SetOptions half;
    half.leakage = std::vector<cf>(6, {0.01f, 0});
    written("half.uv", {-1, -2}, 4, 1, half);
    EXPECT_TRUE(readAll(set("half.uv"), "i").empty());
    EXPECT_EQ(readAll(set("half.uv"), "ii").size(), 24u);

    SetOptions shortTable;
    shortTable.leakage = std::vector<cf>(4, {0.05f, 0});
    const std::vector<Group> groups = written("short.uv", {-1, -2, -3, -4}, 4, 12, shortTable);
    std::vector<Got> got = readAll(set("short.uv"), "i");
    ASSERT_EQ(got.size(), groups.size());
    for (size_t k = 0; k < groups.size(); k++) {
        EXPECT_EQ(got[k].data == std::vector<cf>(4), groups[k].a2 == 3) << k;
        EXPECT_EQ(got[k].flags == std::vector<int>(4, 0), groups[k].a2 == 3) << k;
    }
}

// ---- Calibration ----

cplx polarDeg(double amp, double deg)
{
    return std::polar(amp, deg * std::numbers::pi / 180);
}
kestrum::sim::Gain gainDeg(double amp, double deg)
{
    return kestrum::sim::Gain(polarDeg(amp, deg));
}

GainTable solutionsAt(int nants, int nfeeds, double interval, std::initializer_list<double> times)
{
    GainTable g(nants, nfeeds, 0, interval);
    for (double t : times)
        g.addSolution(t);
    return g;
}

// ---- Simulated uv data sets ----

// A new data set in `dir` of the records, windows and extras, with the tables `tables` writes.
std::string dataSet(const TempDir& dir, const Tables& tables, const std::vector<Record>& recs = {ones()},
                    const std::vector<SpectralWindow>& windows = kWindow, const UvExtras& extras = {})
{
    static int count = 0;
    const std::string path = dir.file("set" + std::to_string(++count) + ".uv");
    writeUv(path, windows, recs, tables, extras);
    return path;
}

Tables withGains(const GainTable& g)
{
    return [=](int tno) { kestrum::sim::writeGains(tno, g); };
}

Tables withBandpass(const BandpassTable& b)
{
    return [=](int tno) { kestrum::sim::writeBandpass(tno, b, true); };
}

// One bandpass solution for two antennas over `windows`, antenna 1's channel c being c + 1.
BandpassTable ramp(const std::vector<SpectralWindow>& windows = kWindow)
{
    BandpassTable bp(2, 1, 0, windows);
    bp.addSolution();
    for (int c = 0; c < bp.nchan(); c++)
        bp.value(0, 1, 1, c) = kestrum::sim::Gain(float(c + 1), 0);
    return bp;
}

// Every record of the data set (its wide channels with `wide`) as uvgnfac calibrates it.
std::vector<Got> calibrateAll(const std::string& path, int dogains, int dopass, bool wide = false)
{
    int tno;
    uvopen_c(&tno, path.c_str(), "old");
    uvgnini(tno, dogains, dopass);
    std::vector<Got> out;
    std::vector<cf> data(64);
    float* values = reinterpret_cast<float*>(data.data());
    int flags[64], n;
    for (Got g; uvread_c(tno, g.pre, values, flags, 64, &n), n > 0; out.push_back(g)) {
        if (wide)
            uvwread_c(tno, values, flags, 64, &n);
        uvgnfac(g.pre[2], g.pre[3], 0, wide, values, flags, n, &g.grms);
        g.data.assign(data.begin(), data.begin() + n);
        g.flags.assign(flags, flags + n);
    }
    uvgnfin();
    uvclose_c(tno);
    return out;
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
    std::vector<Record> model;  // what calibration must give back
    std::vector<Record> observed;  // what the data set holds
    std::vector<bool> reachable;  // whether calibration can reach each record at all

    Simulation()
    {
        gains.freq0 = 0.16;
        for (int k = 0; k <= 10; k++) {
            if (k == 5)
                continue;
            int s = gains.addSolution(kT0 + k * 10 * kMinute);
            for (int a = 1; a <= nants; a++) {
                gains.gain(s, a, 1) = gainDeg(1 + 0.1 * a + 0.05 * k, 17.0 * a - 11.0 * k);
                gains.delay(s, a) = kestrum::sim::Gain(float(0.05 * (a - 3)), float(3.0 * (a - 3) + 0.5 * k));
            }
        }
        gains.gain(7, 4, 1) = {0, 0};  // solution at 80 minutes
        for (int s = 0; s < 2; s++) {
            bandpass.addSolution(kT0 + (60 + s * 0.5) * kMinute, true);
            for (int a = 1; a <= nants; a++)
                for (int c = 0; c < bandpass.nchan(); c++)
                    bandpass.value(s, a, 1, c) =
                        gainDeg(1 + 0.02 * c * a / 6.0 + 0.1 * s, 3.0 * c - 6.0 * a + 12.0 * s);
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
                        if (bad)
                            m.flags[c] = 0;
                    }
                    if (a1 == 1 && a2 == 2)
                        o.flags[5] = m.flags[5] = 0;  // flagged in the data
                    if (!ok)
                        m.flags.assign(nchan, 0);
                    reachable.push_back(ok);
                    model.push_back(std::move(m));
                    observed.push_back(std::move(o));
                }
        }
    }
};

// Two gain solutions, each reaching 0.08 days: antenna 1 turning through 180 degrees one way,
// antenna 3 the other (so baseline 2-3 sees the conjugate of its gain), antenna 5 zero in the
// first. Records at the solutions, a quarter, half and three quarters of the way along (through
// 180 degrees, not through 0), near the zero gain only (flagged: 0), near both (the other's)
// and of antennas beyond the table (flagged).
TEST(UvgnSimulated, InterpolationAndReachOfGainSolutions)
{
    TempDir dir;
    GainTable g = solutionsAt(5, 1, 0.08, {kT0, kT0 + 0.1});
    g.gain(0, 1, 1) = gainDeg(1, 170);
    g.gain(1, 1, 1) = gainDeg(3, -170);
    g.gain(0, 3, 1) = gainDeg(1, -170);
    g.gain(1, 3, 1) = gainDeg(3, 170);
    g.gain(0, 5, 1) = {0, 0};
    g.gain(1, 5, 1) = {3, 0};
    const struct {
        double t;
        int a1, a2;
        cplx want;
    } cases[] = {{kT0, 1, 2, polarDeg(1, 170)},
                 {kT0, 1, 1, 1.0},
                 {kT0, 4, 6, 0.0},
                 {kT0, 6, 6, 0.0},
                 {kT0 + 0.01, 1, 5, 0.0},
                 {kT0 + 0.01, 5, 5, 0.0},
                 {kT0 + 0.01, 2, 4, 1.0},
                 {kT0 + 0.025, 1, 2, polarDeg(1.5, 175)},
                 {kT0 + 0.05, 1, 2, polarDeg(2, 180)},
                 {kT0 + 0.05, 2, 3, polarDeg(2, 180)},
                 {kT0 + 0.05, 2, 5, 3.0},
                 {kT0 + 0.075, 2, 3, polarDeg(2.5, -175)},
                 {kT0 + 0.1, 1, 2, polarDeg(3, -170)}};
    std::vector<Record> records;
    for (const auto& c : cases)
        records.push_back(ones(c.t, 4, -5, c.a1, c.a2));
    const std::vector<Got> got = calibrateAll(dataSet(dir, withGains(g), records), 1, 0);
    ASSERT_EQ(got.size(), std::size(cases));
    for (size_t i = 0; i < got.size(); i++) {
        const auto& c = cases[i];
        EXPECT_EQ(got[i].flags, std::vector<int>(4, c.want != 0.0)) << i;
        if (c.want == 0.0)
            continue;
        EXPECT_NEAR(got[i].grms, std::abs(c.want), 1e-5) << i;
        for (int ch = 0; ch < 4; ch++)
            EXPECT_NEAR(std::abs(cplx(got[i].data[ch]) - c.want), 0, 1e-5) << i;
    }
}

// Two bandpass solutions an hour apart, antenna 1's channel c being c + 1 times a phase turning
// through 180 degrees, antenna 2's channel 2 zero: a record halfway between them gets the
// amplitude mean and the phase halfway along the shorter arc; records before the first and
// after the last get theirs. Wide channels (at 0.10 ... 0.14 GHz, 0.01 wide) get the bandpass of
// the channels within their band, the last one none.
TEST(UvgnSimulated, BetweenAndBeyondBandpassSolutionsForChannelsAndWideChannels)
{
    TempDir dir;
    BandpassTable bp(2, 1, 0, kWindow);
    bp.addSolution(kT0, true);
    bp.addSolution(kT0 + 1.0 / 24, true);
    for (int c = 0; c < 4; c++) {
        bp.value(0, 1, 1, c) = gainDeg(c + 1, 160);
        bp.value(1, 1, 1, c) = gainDeg(2 * (c + 1), -140);
    }
    bp.value(0, 2, 1, 2) = bp.value(1, 2, 1, 2) = {0, 0};
    UvExtras extras;
    extras.nwide = 5;
    const std::string path =
        dataSet(dir, withBandpass(bp), {ones(kT0 - 1), ones(kT0 + 0.5 / 24), ones(kT0 + 1)}, kWindow, extras);
    const cplx want[] = {polarDeg(1, 160), polarDeg(1.5, 190), polarDeg(2, -140)};
    for (bool wide : {false, true}) {
        const std::vector<Got> got = calibrateAll(path, 0, 1, wide);
        ASSERT_EQ(got.size(), 3u);
        for (size_t i = 0; i < 3; i++) {
            EXPECT_EQ(got[i].grms, 1.0f);
            EXPECT_EQ(got[i].flags, (wide ? std::vector<int>{1, 1, 0, 1, 0} : std::vector<int>{1, 1, 0, 1}));
            for (int c : {0, 1, 3})
                EXPECT_NEAR(std::abs(cplx(got[i].data[c]) - double(c + 1) * want[i]), 0, 1e-5) << i << " " << wide;
        }
    }
}

// Per-baseline channel gains: each baseline's own values; channels beyond the table, baselines
// beyond it and zero entries flagged. "cgains" is for the channels, "wgains" for wide data.
TEST(UvgnSimulated, PerBaselineChannelGainsWithoutABandpass)
{
    TempDir dir;
    UvExtras extras;
    extras.nwide = 4;
    BaselineGains table(64, 3);  // 64 antennas assumed without a gain table
    for (int c = 0; c < 3; c++) {
        table.value(1, 2, c) = kestrum::sim::Gain(float(c + 1), 2);
        table.value(2, 3, c) = kestrum::sim::Gain(0, float(c + 5));
    }
    table.value(2, 3, 1) = {0, 0};
    const struct {
        int a1, a2;
        std::vector<cplx> data;
        std::vector<int> flags;
    } cases[] = {{1, 2, {{1, 2}, {2, 2}, {3, 2}}, {1, 1, 1, 0}},
                 {2, 3, {{0, 5}, {1, 0}, {0, 7}}, {1, 0, 1, 0}},
                 {3, 70, {}, {0, 0, 0, 0}}};
    for (bool wide : {false, true})
        for (const auto& c : cases) {
            const auto tables = [&](int tno) { kestrum::sim::writeBaselineGains(tno, table, wide); };
            const std::vector<Got> got =
                calibrateAll(dataSet(dir, tables, {ones(kT0, 4, -5, c.a1, c.a2)}, kWindow, extras), 0, 1, wide);
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].flags, c.flags) << c.a2 << " " << wide;
            for (size_t ch = 0; ch < c.data.size(); ch++) {
                if (c.flags[ch]) {
                    EXPECT_EQ(cplx(got[0].data[ch]), c.data[ch]) << c.a2 << " " << wide;
                }
            }
        }
}

// ---- Through the access layer, as the viewer reads ----

TEST(UvgnAccessLayer, DeliversTheModelAndAnnouncesTheCorrections)
{
    TempDir dir;
    Simulation sim;
    const std::string path = dir.file("sim.uv");
    writeUv(path, sim.windows, sim.observed, [&](int tno) {
        kestrum::sim::writeGains(tno, sim.gains);
        kestrum::sim::writeBandpass(tno, sim.bandpass, false);
    });
    testing::internal::CaptureStdout();
    const std::vector<Got> got = readAll(path, "");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Applying bandpass corrections to " + path + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Applying gain corrections to " + path + "\n"), std::string::npos) << out;
    // Calibrated records must equal the model to single-precision rounding, with its flags.
    ASSERT_EQ(got.size(), sim.model.size());
    for (size_t i = 0; i < got.size(); i++) {
        const Record& m = sim.model[i];
        ASSERT_EQ(got[i].flags, m.flags) << "record " << i;
        for (size_t c = 0; c < m.data.size(); c++) {
            if (m.flags[c]) {
                ASSERT_LE(std::abs(cplx(got[i].data[c]) - m.data[c]), 4e-6 * std::abs(m.data[c])) << i << " " << c;
            }
        }
    }
    // The simulation leaves records out of reach (before the first solution, around the
    // missing one, after the last, antenna 4 near its zero gain) and records partly flagged.
    int unreachable = 0, partial = 0;
    for (size_t i = 0; i < sim.model.size(); i++) {
        unreachable += !sim.reachable[i];
        partial += sim.reachable[i] && sim.model[i].flags != std::vector<int>(16, 1);
    }
    EXPECT_GT(unreachable, 100);
    EXPECT_GT(partial, 100);
}

// A bandpass of six channels at 0.10 ... 0.15 GHz (antenna 1's channel c being c + 1) and
// XX and YY records of four channels whose window starts at 0.10 or at 0.12 GHz from time to
// time, read as Stokes I: the set-up changes with the first product of a group, and each group
// must get the bandpass of its own channels once the whole group has been read.
TEST(UvgnAccessLayer, BandpassFollowsTheSetUpOfRecordGroups)
{
    TempDir dir;
    std::vector<Record> records;
    for (int i = 0; i < 12; i++)
        for (int pol : {-5, -6}) {
            records.push_back(ones(kT0 + i * kMinute, 4, pol));
            records.back().sfreq = i % 3 == 1 ? 0.12 : 0.10;
        }
    UvExtras extras;
    extras.npol = 2;
    const std::vector<Got> got =
        readAll(dataSet(dir, withBandpass(ramp({{6, 0.10, 0.01}})), records, kWindow, extras), "i");
    ASSERT_EQ(got.size(), 12u);
    for (size_t i = 0; i < got.size(); i++)
        for (int c = 0; c < 4; c++)
            ASSERT_NEAR(got[i].data[c].real(), c + 1 + (i % 3 == 1 ? 2 : 0), 1e-6) << i << " " << c;
}

// ---- Fatal messages: each for a table that triggers it ----

GainTable oneSolution(int nants = 2, int nfeeds = 1)
{
    return solutionsAt(nants, nfeeds, 0.1, {kT0});
}

// Damage done to the tables after they are written: a header value set, or an item with a byte
// appended (value -1), truncated to 20 bytes (-2) or deleted (-3).
Tables damage(const Tables& tables, const char* item, int value)
{
    return [=](int tno) {
        tables(tno);
        int ih, iostat;
        if (value >= 0)
            return wrhdi_c(tno, item, value);
        if (value == -3)
            return hdelete_c(tno, item, &iostat);
        std::vector<char> bytes(20);
        haccess_c(tno, &ih, item, value == -1 ? "append" : "read", &iostat);
        if (value == -2) {
            hreadb_c(ih, bytes.data(), 0, 20, &iostat);
            hdaccess_c(ih, &iostat);
            haccess_c(tno, &ih, item, "write", &iostat);
        }
        hwriteb_c(ih, bytes.data(), value == -1 ? hsize_c(ih) : 0, value == -1 ? 1 : 20, &iostat);
        hdaccess_c(ih, &iostat);
    };
}

// Gain tables (set up with dogains) and bandpass and per-baseline tables (with dopass).
TEST(UvgnDeathTest, HeaderValuesAndTableSizes)
{
    TempDir dir;
    BandpassTable seventeen(2, 1, 0, std::vector<SpectralWindow>(17, {1, 0.1, 0.01}));
    seventeen.addSolution();
    const Tables g = withGains(oneSolution()), bp = withBandpass(ramp());
    const Tables cg = [](int t) { kestrum::sim::writeBaselineGains(t, BaselineGains(64, 3), false); };
    const Tables wg = [](int t) { kestrum::sim::writeBaselineGains(t, BaselineGains(64, 3), true); };
    const char* badSize =
        "Bandpass table size is incorrect\\. This happens when the inputs for tovak and renul are inconsistent";
    const char* badCounts = "Invalid value for nchan, ngains or nspect, in uvDat";
    const char* noFile =
        "I/O error when accessing (gains|freqs) table, in Gains routines\\.\n.*No such file or directory";
    const struct {
        Tables tables;
        bool gains;
        const char* message;
    } cases[] = {
        {damage(g, "ngains", 0), true, "Number of gains is missing or bad, in uvGnIni\n"},
        {damage(g, "nfeeds", 3), true, "Number of feeds is bad\n"},
        {damage(g, "ntau", 2), true, "Number of delay terms is bad\n"},
        {damage(withGains(oneSolution(2, 2)), "ngains", 5), true, "Bad number of gains or feeds\n"},
        {withGains(oneSolution(65)), true, "Too many antennae for me to handle, in uvGnIni\n"},
        {damage(g, "nsols", 0), true, "Number of gain solutions is missing or bad, in uvGnIni\n"},
        {damage(g, "interval", 0), true, "The time interval increment is missing or bad, in uvGnIni\n"},
        {damage(g, "gains", -1), true, "Gain table size is incorrect\n"},
        {damage(g, "nsols", 2), true, "Gain table size is incorrect\n"},
        {damage(g, "gains", -3), true, noFile},  // the item missing while its header values are there
        {damage(bp, "nchan0", 0), false, badCounts},
        {damage(bp, "nspect0", 0), false, badCounts},
        {damage(bp, "nchan0", 5), false, badCounts},
        {withBandpass(seventeen), false, "Too many spectral windows for me to handle, in uvDat"},
        {damage(bp, "nbpsols", 1025), false, "Too many bandpass solutions for me too handle, in uvGn"},
        {damage(bp, "bandpass", -1), false, badSize},
        {damage(bp, "nbpsols", 1), false, badSize},
        {damage(bp, "ngains", 0), false, "Number of gains is missing or bad, in uvGnIni"},
        {damage(bp, "freqs", -3), false, noFile},
        {damage(bp, "freqs", -2), false, "I/O error when reading freqs table, in Gains routines\\.\n.*End of file"},
        {damage(cg, "ncgains", 0), false, "Number of gains is missing or bad, in uvGnInic"},
        {damage(cg, "ncbase", 0), false, "Number of baselines is missing or bad, in uvGnInic"},
        {damage(wg, "nwgains", 0), false, "Number of gains is missing or bad, in uvGnIniw"},
        {damage(wg, "nwbase", 0), false, "Number of baselines is missing or bad, in uvGnIniw"},
    };
    for (const auto& c : cases) {
        const std::string path = dataSet(dir, c.tables);
        EXPECT_EXIT(calibrateAll(path, c.gains, !c.gains), ExitedWithCode(1), c.message) << c.message;
    }
}

TEST(UvgnDeathTest, RecordSetUpsTheBandpassCannotBeMatchedTo)
{
    TempDir dir;
    UvExtras wide17;
    wide17.nwide = 17;
    // A bandpass solution time that is no number leaves no interval for any record.
    BandpassTable timed = ramp();
    timed.addSolution(NAN, true);
    timed.times.insert(timed.times.begin(), kT0 - 1);
    const std::vector<SpectralWindow> none, many(17, {1, 0.1, 0.01}), negative{{-2, 0.1, 0.01}, {4, 0.1, 0.01}};
    const Tables bp = withBandpass(ramp());
    const struct {
        Tables tables;
        int nchan;
        const std::vector<SpectralWindow>& windows;
        const UvExtras& extras;
        const char* message;
    } cases[] = {
        {bp, 4, none, {}, "Bad value for variable nspect, in uvGn\\(pass-get\\)"},
        {bp, 17, many, {}, "nchan\\.gt\\.maxspect, in uvGn\\(pass-get\\)"},
        {bp, 6, kWindow, {}, "Inconsistent number of channels, in uvGn\\(pass-get\\)"},
        {bp, 4, negative, {}, "Inconsistent number of channels, in uvGn\\(pass-get\\)"},  // a window of -2 channels
        {bp, 4, kWindow, wide17, "nwide\\.gt\\.maxspect, in uvGn\\(pass-get\\)"},
        {withBandpass(timed), 4, kWindow, {}, "uvGn: corrupted bp table\\?"},
    };
    for (const auto& c : cases) {
        const std::string path = dataSet(dir, c.tables, {ones(kT0, c.nchan)}, c.windows, c.extras);
        EXPECT_EXIT(calibrateAll(path, 0, 1, c.extras.nwide > 0), ExitedWithCode(1),
                    std::string("### Fatal Error:  ") + c.message + "\n")
            << c.message;
    }
}

}  // namespace
