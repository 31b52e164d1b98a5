// Polarisation handling of the uv data access layer: reads the requested polarisations,
// decides per data set whether records can simply be selected, and otherwise forms the
// requested Stokes parameters from record groups, with leakage correction and gains.
#include <cmath>
#include <complex>
#include <cstring>
#include <string>

#include "dataset/bug.h"
#include "dataset/headio.h"
#include "dataset/hio.h"
#include "dataset/uvio.h"
#include "task/basant.h"
#include "task/key.h"
#include "task/pols.h"
#include "task/uvdatint.h"
#include "task/uvgn.h"

namespace kestrum::uvdat {

Pol pol;

namespace {

using cfloat = std::complex<float>;

constexpr int kNoPol = -9;  // "pol" of a group member that names no product

// Slot holding product `code` in group `g`, -1 when none.
int slotOf(const Group& g, int code)
{
    if (code < -8 || code > 6)
        return -1;
    for (int s = 0; s < g.nslots; s++)
        if (g.code[s] == code)
            return s;
    return -1;
}

void leakFail(const char* step, int iostat)
{
    bug_c('w', (std::string("I/O error when ") + step + ", in Gains routines.").c_str());
    bugno_c('f', iostat);
}

// Whether request `code` is corrected for leakage: all but "ii" and Stokes parameters
// stored as such.
bool leakCorrected(int code)
{
    return code != 0 && !(code >= 1 && code <= 4 && slotOf(pol.group, code) >= 0);
}

// Replaces the terms of `f` by their leakage-corrected form for the group's baseline.
void correctLeakage(Formed& f)
{
    int codes[4];
    float coefs[8];
    for (int t = 0; t < f.nterms; t++) {
        codes[t] = f.terms[t].code;
        coefs[2 * t] = f.terms[t].re;
        coefs[2 * t + 1] = f.terms[t].im;
    }
    int n = f.nterms;
    uvlkcorr(pol.preamble[current.npream - 1], &n, codes, coefs);
    f.nterms = 0;
    for (int t = 0; t < n; t++) {
        int s = slotOf(pol.group, codes[t]);
        if (s < 0) {  // the other feed family's products are not in the group
            f.nterms = 0;
            return;
        }
        f.terms[f.nterms++] = {codes[t], s, coefs[2 * t], coefs[2 * t + 1]};
    }
}

void readGroupMember(int slot, int nchan, double* preamble)
{
    int n = 0;
    uvread_c(current.tno, preamble, pol.data[slot].data(), pol.flags[slot].data(), kMaxChan, &n);
    if (n != nchan)
        bug_c('f', "Number of channels of data changed in uvPolIni");
    int def = kNoPol;
    uvrdvr_c(current.tno, IO_INT, "pol", &pol.group.code[slot], &def, 1);
}

// The loops of the weighted sums run in fixed blocks of 8 elements, a shape the compiler
// vectorises even at its everyday optimisation level; the rest is done one by one.
constexpr int kBlock = 8;

void mulReal(float* __restrict out, const float* __restrict d, float c, int n)
{
    int k = 0;
    for (; k + kBlock <= n; k += kBlock)
        for (int i = 0; i < kBlock; i++)
            out[k + i] = c * d[k + i];
    for (; k < n; k++)
        out[k] = c * d[k];
}

void addReal(float* __restrict out, const float* __restrict d, float c, int n)
{
    int k = 0;
    for (; k + kBlock <= n; k += kBlock)
        for (int i = 0; i < kBlock; i++)
            out[k + i] += c * d[k + i];
    for (; k < n; k++)
        out[k] += c * d[k];
}

// The first two terms when both coefficients are real, in one pass.
void mulReal2(float* __restrict out, const float* __restrict d0, float c0, const float* __restrict d1, float c1, int n)
{
    int k = 0;
    for (; k + kBlock <= n; k += kBlock)
        for (int i = 0; i < kBlock; i++)
            out[k + i] = c0 * d0[k + i] + c1 * d1[k + i];
    for (; k < n; k++)
        out[k] = c0 * d0[k] + c1 * d1[k];
}

void bothFlags(int* __restrict out, const int* __restrict f0, const int* __restrict f1, int n)
{
    int k = 0;
    for (; k + kBlock <= n; k += kBlock)
        for (int i = 0; i < kBlock; i++)
            out[k + i] = (f0[k + i] != 0) & (f1[k + i] != 0);
    for (; k < n; k++)
        out[k] = (f0[k] != 0) & (f1[k] != 0);
}

void copyFlags(int* __restrict out, const int* __restrict f, int n)
{
    int k = 0;
    for (; k + kBlock <= n; k += kBlock)
        for (int i = 0; i < kBlock; i++)
            out[k + i] = f[k + i] != 0;
    for (; k < n; k++)
        out[k] = f[k] != 0;
}

void andFlags(int* __restrict out, const int* __restrict f, int n)
{
    int k = 0;
    for (; k + kBlock <= n; k += kBlock)
        for (int i = 0; i < kBlock; i++)
            out[k + i] &= f[k + i] != 0;
    for (; k < n; k++)
        out[k] &= f[k] != 0;
}

// Adds (or, for the first term, stores) one term of a weighted sum over `nchan` channels; a
// channel stays good only while it is good in every product used.
void weightedTerm(const Group& g, const Term& term, bool first, int nchan, float* __restrict out, int* __restrict flags)
{
    const float* __restrict d = g.data[term.slot];
    const int* fl = g.flags[term.slot];
    const float cr = term.re, ci = term.im;
    if (ci == 0.0f) {  // real coefficients: one multiply per float
        if (first)
            mulReal(out, d, cr, 2 * nchan);
        else
            addReal(out, d, cr, 2 * nchan);
    } else if (first) {
        for (int j = 0; j < nchan; j++) {
            out[2 * j] = cr * d[2 * j] - ci * d[2 * j + 1];
            out[2 * j + 1] = cr * d[2 * j + 1] + ci * d[2 * j];
        }
    } else {
        for (int j = 0; j < nchan; j++) {
            out[2 * j] += cr * d[2 * j] - ci * d[2 * j + 1];
            out[2 * j + 1] += cr * d[2 * j + 1] + ci * d[2 * j];
        }
    }
    if (first)
        copyFlags(flags, fl, nchan);
    else
        andFlags(flags, fl, nchan);
}

}  // namespace

void Rotation::get()
{
    if (known)
        return;
    float chi;
    uvpolchi(&chi, &c, &s);
    known = true;
}

int requestCode(const std::string& name)
{
    if (name == "ii" || name == "II")
        return 0;
    if (name == "qq" || name == "QQ")
        return 5;
    if (name == "uu" || name == "UU")
        return 6;
    return polsp2c(name.c_str());
}

int reportedCode(int code)
{
    if (code == 0)
        return 1;
    if (code == 5)
        return 2;
    if (code == 6)
        return 3;
    return code;
}

bool selectsProduct(int request, int code)
{
    if (request == 0)
        return code == 1 || code == -1 || code == -2 || code == -5 || code == -6;
    return code == request;
}

void chooseTerms(const Group& g, int code, Formed& f, Rotation& rot)
{
    auto has = [&g](int c) { return slotOf(g, c) >= 0; };
    f.nterms = 0;
    f.average = false;
    auto add = [&](int c, float re, float im) { f.terms[f.nterms++] = {c, slotOf(g, c), re, im}; };
    const bool rrll = has(-1) && has(-2), rllr = has(-3) && has(-4);
    const bool xxyy = has(-5) && has(-6), xyyx = has(-7) && has(-8);
    if (has(code)) {
        add(code, 1, 0);
        return;
    }
    switch (code) {
    case 1:  // I
        if (rrll)
            add(-1, 0.5f, 0), add(-2, 0.5f, 0);
        else if (xxyy)
            add(-5, 0.5f, 0), add(-6, 0.5f, 0);
        break;
    case 2:  // Q: 0.5 e^(-i2chi) RL + 0.5 e^(i2chi) LR, or rotated linear products
        if (rllr) {
            rot.get();
            add(-3, 0.5f * rot.c, -0.5f * rot.s);
            add(-4, 0.5f * rot.c, 0.5f * rot.s);
        } else if (xxyy && xyyx) {
            rot.get();
            add(-5, 0.5f * rot.c, 0), add(-6, -0.5f * rot.c, 0);
            add(-7, -0.5f * rot.s, 0), add(-8, -0.5f * rot.s, 0);
        }
        break;
    case 3:  // U: -0.5i e^(i2chi) LR + 0.5i e^(-i2chi) RL, or rotated linear products
        if (rllr) {
            rot.get();
            add(-4, 0.5f * rot.s, -0.5f * rot.c);
            add(-3, 0.5f * rot.s, 0.5f * rot.c);
        } else if (xxyy && xyyx) {
            rot.get();
            add(-5, 0.5f * rot.s, 0), add(-6, -0.5f * rot.s, 0);
            add(-7, 0.5f * rot.c, 0), add(-8, 0.5f * rot.c, 0);
        }
        break;
    case 4:  // V
        if (rrll)
            add(-1, 0.5f, 0), add(-2, -0.5f, 0);
        else if (xyyx)
            add(-7, 0, 0.5f), add(-8, 0, -0.5f);
        break;
    case 5:  // qq: Q in the feed frame
        if (rllr)
            add(-3, 0.5f, 0), add(-4, 0.5f, 0);
        else if (xxyy)
            add(-5, 0.5f, 0), add(-6, -0.5f, 0);
        break;
    case 6:  // uu: U in the feed frame
        if (rllr)
            add(-4, 0, -0.5f), add(-3, 0, 0.5f);
        else if (xyyx)
            add(-7, 0.5f, 0), add(-8, 0.5f, 0);
        break;
    case 0:  // ii: I itself, else the mean of the parallel hands present
        if (has(1)) {
            add(1, 1, 0);
        } else {
            for (int c : {-1, -2, -5, -6})
                if (has(c))
                    add(c, 1, 0);
            f.average = true;
        }
        break;
    default:
        break;
    }
}

void formRecord(const Group& g, const Formed& f, int nchan, float* data, int* flags)
{
    if (f.nterms == 0) {
        std::memset(data, 0, sizeof(float) * 2 * nchan);
        std::memset(flags, 0, sizeof(int) * nchan);
    } else if (f.average) {
        std::memset(data, 0, sizeof(float) * 2 * nchan);
        std::memset(flags, 0, sizeof(int) * nchan);  // the good count per channel
        for (int t = 0; t < f.nterms; t++) {
            const float* d = g.data[f.terms[t].slot];
            const int* fl = g.flags[f.terms[t].slot];
            for (int j = 0; j < nchan; j++) {
                if (fl[j]) {
                    data[2 * j] += d[2 * j];
                    data[2 * j + 1] += d[2 * j + 1];
                    flags[j]++;
                }
            }
        }
        for (int j = 0; j < nchan; j++) {
            if (flags[j] > 1) {
                data[2 * j] /= static_cast<float>(flags[j]);
                data[2 * j + 1] /= static_cast<float>(flags[j]);
            }
            flags[j] = flags[j] > 0;
        }
    } else if (f.nterms == 1 && f.terms[0].re == 1.0f && f.terms[0].im == 0.0f) {
        std::memcpy(data, g.data[f.terms[0].slot], sizeof(float) * 2 * nchan);
        std::memcpy(flags, g.flags[f.terms[0].slot], sizeof(int) * nchan);
    } else {
        int t = 0;
        if (f.nterms >= 2 && f.terms[0].im == 0.0f && f.terms[1].im == 0.0f) {
            const Term &a = f.terms[0], &b = f.terms[1];
            mulReal2(data, g.data[a.slot], a.re, g.data[b.slot], b.re, 2 * nchan);
            bothFlags(flags, g.flags[a.slot], g.flags[b.slot], nchan);
            t = 2;
        }
        for (; t < f.nterms; t++)
            weightedTerm(g, f.terms[t], t == 0, nchan, data, flags);
    }
}

void polOpen(const std::string& name)
{
    const int tno = current.tno;
    pol.npol = pol.reqnpol;
    std::memcpy(pol.pols, pol.reqpols, sizeof pol.pols);
    pol.ipol = 0;
    pol.nchan = 0;

    pol.nfp = 1;
    if (!pol.selpol1) {
        char type = ' ';
        int length = 0, updated = 0;
        uvprobvr_c(tno, "npol", &type, &length, &updated);
        if (type == 'i')
            rdhdi_c(tno, "npol", &pol.nfp, 0);
        if (pol.nfp > 1 && pol.selpol)
            pol.nfp = 0;
    }

    pol.leak = pol.doleak && hdprsnt_c(tno, "leakage") && !(pol.npol == 1 && pol.pols[0] == 0);
    if (pol.leak && pol.nfp > 0 && pol.nfp <= 3)
        bug_c('f', "Required polarizations missing from the file");
    if (pol.leak)
        uvlkini();

    const bool direct = ((pol.npol == 1 && pol.pols[0] <= 0) || pol.nfp == 1) && !pol.leak;
    pol.dopol = pol.npol > 0 || pol.leak;
    pol.copy = pol.npol == 0 && pol.dopol;

    if (pol.dopol && direct) {
        if (pol.npol > 1)
            bug_c('f', ("Needed polarizations missing from " + name).c_str());
        uvselect_c(tno, "and", 0, 0, 1);
        for (int code = -8; code <= 6; code++)
            if (selectsProduct(pol.pols[0], code))
                uvselect_c(tno, "polarization", code, code, 1);
        pol.dopol = false;
    }
    if (pol.dopol && pol.selpol)
        bug_c('f', "Cannot use pol. selection when doing pol. processing");

    if (pol.dopol) {
        for (int s = 0; s < 4; s++) {
            pol.data[s].resize(2 * static_cast<size_t>(kMaxChan));
            pol.flags[s].resize(kMaxChan);
            pol.group.data[s] = pol.data[s].data();
            pol.group.flags[s] = pol.flags[s].data();
        }
    }
}

}  // namespace kestrum::uvdat

using namespace kestrum::uvdat;

extern "C" void uvpolinp(int maxpol, int* npol, int* pols)
{
    *npol = 0;
    char field[4];
    while (*npol < maxpol) {
        keya("stokes", field, sizeof field, "");
        std::string f = field;
        while (!f.empty() && f.back() == ' ')
            f.pop_back();
        if (f.empty())
            break;
        pols[(*npol)++] = requestCode(f);
    }
    if (keyprsnt("stokes"))
        bug_c('f', "Too many Stokes parameters to process");
}

extern "C" void uvpolchi(float* chi, float* cos2chi, float* sin2chi)
{
    float def = 0;
    uvrdvr_c(current.tno, IO_REAL, "chi", chi, &def, 1);
    *cos2chi = std::cos(2 * *chi);
    *sin2chi = std::sin(2 * *chi);
}

extern "C" int uvpolini(void)
{
    const int tno = current.tno;
    int nchan = 0;
    uvread_c(tno, pol.preamble, pol.data[0].data(), pol.flags[0].data(), kMaxChan, &nchan);
    pol.nchan = nchan;
    Group& g = pol.group;
    g.nslots = 0;
    if (nchan == 0)
        return 1;

    int ngroup = 0, def = 1;
    uvrdvr_c(tno, IO_INT, "npol", &ngroup, &def, 1);
    if (ngroup < 1 || ngroup > 4)
        bug_c('f', "Invalid number of polarisations for me to handle");
    def = 0;
    uvrdvr_c(tno, IO_INT, "pol", &g.code[0], &def, 1);
    double scratch[5];
    for (int s = 1; s < ngroup; s++)
        readGroupMember(s, nchan, scratch);
    g.nslots = ngroup;
    // Codes outside the known range name no product.
    for (int s = 0; s < ngroup; s++)
        if (g.code[s] < -8 || g.code[s] > 6)
            g.code[s] = kNoPol;
    if (pol.copy) {
        pol.npol = ngroup;
        std::memcpy(pol.pols, g.code, sizeof(int) * ngroup);
    }

    auto has = [&](int c) { return slotOf(g, c) >= 0; };
    const bool full = (has(-1) && has(-2) && has(-3) && has(-4)) || (has(-5) && has(-6) && has(-7) && has(-8));
    Rotation rot;
    for (int i = 0; i < pol.npol; i++) {
        Formed& f = pol.formed[i];
        chooseTerms(g, pol.pols[i], f, rot);
        if (pol.leak && leakCorrected(pol.pols[i]) && !full)
            f.nterms = 0;
        if (f.nterms == 0)
            return 0;
    }
    if (pol.leak && full) {
        for (int i = 0; i < pol.npol; i++)
            if (leakCorrected(pol.pols[i]))
                correctLeakage(pol.formed[i]);
    }

    bool used[4] = {};
    for (int i = 0; i < pol.npol; i++)
        for (int t = 0; t < pol.formed[i].nterms; t++)
            used[pol.formed[i].terms[t].slot] = true;
    for (int s = 0; s < ngroup; s++) {
        pol.slotgain[s] = 1.0f;
        if (current.calib && used[s]) {
            const double* p = pol.preamble;
            uvgnfac(p[current.npream - 2], p[current.npream - 1], g.code[s], current.dowide, pol.data[s].data(),
                    pol.flags[s].data(), nchan, &pol.slotgain[s]);
        }
    }

    for (int i = 0; i < pol.npol; i++) {
        Formed& f = pol.formed[i];
        float sum = 0;
        for (int t = 0; t < f.nterms; t++) {
            const Term& term = f.terms[t];
            float w = term.re * term.re + term.im * term.im;
            if (current.gsv)
                w *= pol.slotgain[term.slot] * pol.slotgain[term.slot];
            sum += w;
        }
        if (f.average && f.nterms > 0)
            sum /= static_cast<float>(f.nterms * f.nterms);
        f.varfac = sum;
    }
    return 1;
}

extern "C" void uvpolget(double* preamble, float* data, int* flags, int n, int* nread)
{
    if (pol.copy && pol.npol == 0) {
        while (!uvpolini()) {
        }
        pol.ipol = 1;
    } else {
        pol.ipol = pol.npol > 0 ? pol.ipol % pol.npol + 1 : 1;
        if (pol.ipol == 1)
            while (!uvpolini()) {
            }
    }
    const int nchan = pol.nchan;
    if (n < nchan)
        bug_c('f', "Data array too small in UvDatRd");
    if (nchan == 0) {
        pol.ipol = 0;
        *nread = 0;
        return;
    }
    std::memcpy(preamble, pol.preamble, sizeof(double) * current.npream);
    formRecord(pol.group, pol.formed[pol.ipol - 1], nchan, data, flags);
    *nread = nchan;
}

extern "C" void uvlkini(void)
{
    int item = 0, iostat = 0;
    haccess_c(current.tno, &item, "leakage", "read", &iostat);
    if (iostat)
        leakFail("accessing leakage table", iostat);
    const off_t size = hsize_c(item);
    const off_t nants = size >= 8 ? (size - 8) / 16 : 0;
    if (nants < 1 || nants > (1 << 20))
        bug_c('f', "Leakage table appears bad");
    pol.nleak = static_cast<int>(nants);
    pol.leakage.assign(4 * static_cast<size_t>(nants), 0.0f);
    hreadr_c(item, pol.leakage.data(), 8, 16 * nants, &iostat);
    if (iostat)
        leakFail("reading leakage table", iostat);
    hdaccess_c(item, &iostat);
    if (iostat)
        leakFail("closing leakage table", iostat);
}

extern "C" void uvlkcorr(double baseline, int* nterms, int* codes, float* coefs)
{
    const int n = *nterms;
    *nterms = 0;
    if (n < 1)
        return;
    int a1 = 0, a2 = 0;
    basant(baseline, &a1, &a2);
    if (a1 < 1 || a1 > pol.nleak || a2 < 1 || a2 > pol.nleak)
        return;

    // D(f, a): leakage of feed f (1 R or X, 2 L or Y) of antenna a.
    auto D = [](int f, int a) {
        const float* e = &pol.leakage[4 * static_cast<size_t>(a - 1) + 2 * (f - 1)];
        return cfloat(e[0], e[1]);
    };
    // Per product p (RR, LL, RL, LR or XX, YY, XY, YX): the accumulators its term feeds and
    // the feeds of the two antennas.
    static const int k[4][4] = {{0, 3, 2, 1}, {1, 2, 3, 0}, {2, 1, 0, 3}, {3, 0, 1, 2}};
    static const int g1[4] = {1, 2, 1, 2}, g2[4] = {1, 2, 2, 1};

    const bool circular = codes[0] > -5;
    cfloat C[4] = {};
    for (int t = 0; t < n; t++) {
        const int p = (circular ? -codes[t] : -4 - codes[t]) - 1;
        if (p < 0 || p > 3)
            return;  // a term outside the first term's feed family
        const cfloat w(coefs[2 * t], coefs[2 * t + 1]);
        const cfloat d = D(g1[p], a1), e = std::conj(D(g2[p], a2));
        C[k[p][0]] += w;
        C[k[p][1]] -= w * d;
        C[k[p][2]] -= w * e;
        C[k[p][3]] += w * d * e;
    }
    const cfloat N = (1.0f - D(1, a1) * D(2, a1)) * std::conj(1.0f - D(1, a2) * D(2, a2));
    if (N == 0.0f)
        return;  // singular leakages: nothing can be formed
    for (int t = 0; t < 4; t++) {
        const cfloat c = C[t] / N;
        codes[t] = circular ? -1 - t : -5 - t;
        coefs[2 * t] = c.real();
        coefs[2 * t + 1] = c.imag();
    }
    *nterms = 4;
}
