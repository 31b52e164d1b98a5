// Calibration tables for simulated data sets and the factors calibration applies with them.
#include "tools/sim/calwriter.h"

#include <cmath>
#include <string>

#include "dataset/bug.h"
#include "dataset/headio.h"
#include "dataset/hio.h"

namespace kestrum::sim {

namespace {

// Opens an item for writing with its 8-byte header (zeros) in place.
int openItem(int tno, const char* name)
{
    int item = 0, iostat = 0;
    haccess_c(tno, &item, name, "write", &iostat);
    if (iostat) {
        bug_c('w', (std::string("Cannot write calibration item ") + name).c_str());
        bugno_c('f', iostat);
    }
    const char header[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    hwriteb_c(item, header, 0, 8, &iostat);
    if (iostat)
        bugno_c('f', iostat);
    return item;
}

void closeItem(int item)
{
    int iostat = 0;
    hdaccess_c(item, &iostat);
    if (iostat)
        bugno_c('f', iostat);
}

void writeComplex(int item, const std::vector<Gain>& values, off_t offset)
{
    int iostat = 0;
    hwriter_c(item, reinterpret_cast<const float*>(values.data()), offset, 8 * off_t(values.size()), &iostat);
    if (iostat)
        bugno_c('f', iostat);
}

void writeDouble(int item, double value, off_t offset)
{
    int iostat = 0;
    hwrited_c(item, &value, offset, 8, &iostat);
    if (iostat)
        bugno_c('f', iostat);
}

bool zero(Gain g)
{
    return g.real() == 0 && g.imag() == 0;
}

}  // namespace

GainTable::GainTable(int nants_, int nfeeds_, int ntau_, double interval_)
    : nants(nants_), nfeeds(nfeeds_), ntau(ntau_), interval(interval_)
{}

int GainTable::addSolution(double time)
{
    times.push_back(time);
    std::vector<Gain> e(size_t(ngains()), Gain(1, 0));
    for (int a = 1; a <= nants; a++)
        for (int d = 0; d < ntau; d++)
            e[size_t((a - 1) * (nfeeds + ntau) + nfeeds + d)] = Gain(0, 0);
    entries.push_back(std::move(e));
    return int(times.size()) - 1;
}

Gain& GainTable::gain(int s, int ant, int feed)
{
    return entries.at(size_t(s)).at(size_t((ant - 1) * (nfeeds + ntau) + feed - 1));
}
const Gain& GainTable::gain(int s, int ant, int feed) const
{
    return entries.at(size_t(s)).at(size_t((ant - 1) * (nfeeds + ntau) + feed - 1));
}
Gain& GainTable::delay(int s, int ant)
{
    return entries.at(size_t(s)).at(size_t((ant - 1) * (nfeeds + ntau) + nfeeds));
}
const Gain& GainTable::delay(int s, int ant) const
{
    return entries.at(size_t(s)).at(size_t((ant - 1) * (nfeeds + ntau) + nfeeds));
}

BandpassTable::BandpassTable(int nants_, int nfeeds_, int ntau_, std::vector<SpectralWindow> windows_)
    : nants(nants_), nfeeds(nfeeds_), ntau(ntau_), windows(std::move(windows_))
{}

int BandpassTable::nchan() const
{
    int n = 0;
    for (const SpectralWindow& w : windows)
        n += w.nchan;
    return n;
}

int BandpassTable::addSolution(double time, bool timed)
{
    if (timed)
        times.push_back(time);
    values.emplace_back(size_t(ngains()) * size_t(nchan()), Gain(1, 0));
    return int(values.size()) - 1;
}

Gain& BandpassTable::value(int s, int ant, int feed, int channel)
{
    const size_t entry = size_t((ant - 1) * (nfeeds + ntau) + feed - 1);
    return values.at(size_t(s)).at(entry * size_t(nchan()) + size_t(channel));
}
const Gain& BandpassTable::value(int s, int ant, int feed, int channel) const
{
    const size_t entry = size_t((ant - 1) * (nfeeds + ntau) + feed - 1);
    return values.at(size_t(s)).at(entry * size_t(nchan()) + size_t(channel));
}

double BandpassTable::frequency(int channel) const
{
    for (const SpectralWindow& w : windows) {
        if (channel < w.nchan)
            return w.sfreq + channel * w.sdf;
        channel -= w.nchan;
    }
    return 0;
}

BaselineGains::BaselineGains(int nants_, int nchan_)
    : nants(nants_), nchan(nchan_), nbase(nants_ * (nants_ + 1) / 2), values(size_t(nbase) * size_t(nchan_), Gain(1, 0))
{}

Gain& BaselineGains::value(int a1, int a2, int channel)
{
    const size_t b = size_t((a1 - 1) * nants - (a1 - 1) * (a1 - 2) / 2 + (a2 - a1));
    return values.at(b * size_t(nchan) + size_t(channel));
}
const Gain& BaselineGains::value(int a1, int a2, int channel) const
{
    const size_t b = size_t((a1 - 1) * nants - (a1 - 1) * (a1 - 2) / 2 + (a2 - a1));
    return values.at(b * size_t(nchan) + size_t(channel));
}

void writeGains(int tno, const GainTable& g)
{
    wrhdi_c(tno, "ngains", g.ngains());
    wrhdi_c(tno, "nfeeds", g.nfeeds);
    wrhdi_c(tno, "ntau", g.ntau);
    wrhdi_c(tno, "nsols", int(g.times.size()));
    wrhdd_c(tno, "interval", g.interval);
    if (g.ntau > 0)
        wrhdd_c(tno, "freq0", g.freq0);
    const int item = openItem(tno, "gains");
    off_t off = 8;
    for (size_t s = 0; s < g.times.size(); s++) {
        writeDouble(item, g.times[s], off);
        writeComplex(item, g.entries[s], off + 8);
        off += 8 + 8 * off_t(g.ngains());
    }
    closeItem(item);
}

void writeBandpass(int tno, const BandpassTable& b, bool layout)
{
    if (layout) {
        wrhdi_c(tno, "ngains", b.ngains());
        wrhdi_c(tno, "nfeeds", b.nfeeds);
        wrhdi_c(tno, "ntau", b.ntau);
    }
    wrhdi_c(tno, "nchan0", b.nchan());
    wrhdi_c(tno, "nspect0", int(b.windows.size()));
    wrhdi_c(tno, "nbpsols", int(b.times.size()));

    int item = openItem(tno, "freqs");
    int iostat = 0;
    for (size_t w = 0; w < b.windows.size(); w++) {
        const off_t off = 8 + 24 * off_t(w);
        const int n[2] = {b.windows[w].nchan, 0};
        hwritei_c(item, n, off, 8, &iostat);
        if (iostat)
            bugno_c('f', iostat);
        writeDouble(item, b.windows[w].sfreq, off + 8);
        writeDouble(item, b.windows[w].sdf, off + 16);
    }
    closeItem(item);

    item = openItem(tno, "bandpass");
    off_t off = 8;
    for (size_t s = 0; s < b.values.size(); s++) {
        writeComplex(item, b.values[s], off);
        off += 8 * off_t(b.values[s].size());
        if (!b.times.empty()) {
            writeDouble(item, b.times.at(s), off);
            off += 8;
        }
    }
    closeItem(item);
}

void writeBaselineGains(int tno, const BaselineGains& t, bool wide)
{
    wrhdi_c(tno, wide ? "nwgains" : "ncgains", t.nchan);
    wrhdi_c(tno, wide ? "nwbase" : "ncbase", t.nbase);
    const int item = openItem(tno, wide ? "wgains" : "cgains");
    writeComplex(item, t.values, 8);
    closeItem(item);
}

bool gainProduct(const GainTable& g, double time, int a1, int f1, int a2, int f2, std::complex<double>* product,
                 std::complex<double>* delay)
{
    *product = 0;
    *delay = 0;
    for (size_t s = 0; s < g.times.size(); s++) {
        if (!(std::abs(time - g.times[s]) < g.interval))
            continue;
        const Gain p = g.gain(int(s), a1, f1), q = g.gain(int(s), a2, f2);
        if (zero(p) || zero(q))
            return false;
        *product = std::complex<double>(p) * std::conj(std::complex<double>(q));
        if (g.ntau > 0) {
            const Gain d1 = g.delay(int(s), a1), d2 = g.delay(int(s), a2);
            *delay = std::complex<double>(double(d1.real()) + d2.real(), double(d1.imag()) - d2.imag());
        }
        return true;
    }
    return false;
}

std::complex<double> bandpassProduct(const BandpassTable& b, int s, int a1, int f1, int a2, int f2, int channel)
{
    return std::complex<double>(b.value(s, a1, f1, channel)) *
        std::conj(std::complex<double>(b.value(s, a2, f2, channel)));
}

std::complex<double> delayFactor(std::complex<double> delay, double freq, double freq0)
{
    std::complex<double> f(1, 0);
    if (delay.real() != 0)
        f *= std::pow(freq / freq0, delay.real());
    if (delay.imag() != 0)
        f *= std::polar(1.0, (freq - freq0) * delay.imag());
    return f;
}

}  // namespace kestrum::sim
