// One record of the polarisation under study, with its medians across channels.
#include "model/visibility.h"

#include "model/util.h"

#include <algorithm>
#include <cmath>

namespace {

float magnitude(std::complex<float> v)
{
    // Squares in double precision cannot overflow for any float value.
    const double re = v.real();
    const double im = v.imag();
    return static_cast<float>(std::sqrt(re * re + im * im));
}

}  // namespace

Visibility::Visibility(int visno, double uu, double vv, double time, double bl, double lst, int pol, int nchan,
                       const std::complex<float>* data, const int* flags, bool ampOnly, ChannelStore& store)
    : ampOnly(ampOnly), visno(visno), uu(uu), vv(vv), time(time), bl(bl), lst(lst), pol(pol),
      nchan(nchan > 0 ? static_cast<uint32_t>(nchan) : 0), ampMedian(0.0), phaseMedian(0.0)
{
    const uint32_t n = this->nchan;
    const size_t bytes = storeBytes(n, ampOnly);
    unsigned char* at = store.room(bytes);
    unsigned char* flagsAt;
    if (ampOnly) {
        auto* a = reinterpret_cast<float*>(at);
        for (uint32_t c = 0; c < n; ++c)
            a[c] = magnitude(data[c]);
        amp = {a, n};
        flagsAt = at + n * sizeof(float);
    } else {
        auto* d = reinterpret_cast<std::complex<float>*>(at);
        if (d != data)
            std::copy_n(data, n, d);
        this->data = {d, n};
        flagsAt = at + n * sizeof(std::complex<float>);
    }
    // Each int converts to its low 8 bits.
    std::copy_n(flags, n, flagsAt);
    this->flags = {flagsAt, n};
    store.keep(bytes);
}

size_t Visibility::storeBytes(uint32_t nchan, bool ampOnly)
{
    return nchan * (ampOnly ? sizeof(float) : sizeof(std::complex<float>)) + nchan;
}

float Visibility::Amp(int chan, bool sub) const
{
    const float a = ampOnly ? amp[chan] : magnitude(data[chan]);
    return sub ? static_cast<float>(a - ampMedian) : a;
}

float Visibility::Phase(int chan, bool sub) const
{
    if (ampOnly)
        return 0.0f;
    const float p = std::atan2(data[chan].imag(), data[chan].real());
    return sub ? static_cast<float>(p - phaseMedian) : p;
}

int Visibility::Flagged(int chan) const
{
    return flags[chan];
}

void Visibility::calcMedian()
{
    std::vector<float> amps, phases, scratch;
    values(amps, phases);
    takeMedians(amps, phases, scratch);
}

void Visibility::values(std::vector<float>& amps, std::vector<float>& phases) const
{
    amps.resize(nchan);
    phases.resize(nchan);
    rawAmps(amps.data(), nchan);
    rawPhases(phases.data(), nchan);
}

// The statistics and the survey take every amplitude through here: where the processor has AVX2
// or AVX-512 the square roots go four or eight at a time instead of two, with the same values.
// A baseline's records lie far apart in the store, where the processor's own prefetching (which
// follows runs of lines within a page) finds each one late: the lines of the record taken next
// are asked for a few at a time, spread over the loop, so that they arrive while it works.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) void Visibility::rawAmps(
    float* out, uint32_t n, const Visibility* next) const
{
    if (ampOnly) {
        std::copy_n(amp.data(), n, out);
        return;
    }
    constexpr uint32_t kChunk = 8;
    const char* line = nullptr;
    size_t lines = 0, chunks = std::max<size_t>(n / kChunk, 1), owed = 0;
    if (next != nullptr) {
        line = next->ampOnly ? reinterpret_cast<const char*>(next->amp.data())
                             : reinterpret_cast<const char*>(next->data.data());
        lines = (storeBytes(next->nchan, next->ampOnly) + 63) / 64;
    }
    const std::complex<float>* d = data.data();
    const std::complex<float>* const end = d + n;
    for (; end - d >= kChunk; d += kChunk, out += kChunk) {
        // Line by line, `lines` of them over `chunks` chunks.
        for (owed += lines; owed >= chunks; owed -= chunks, line += 64)
            __builtin_prefetch(line);
        // Through a chunk of its own, which cannot overlap the values, the loop is vectorised.
        float chunk[kChunk];
        for (uint32_t j = 0; j < kChunk; ++j)
            chunk[j] = magnitude(d[j]);
        std::copy_n(chunk, kChunk, out);
    }
    for (; d < end; ++d, ++out)
        *out = magnitude(*d);
}

void Visibility::rawPhases(float* out, uint32_t n) const
{
    if (ampOnly) {
        std::fill_n(out, n, 0.0f);
        return;
    }
    const std::complex<float>* d = data.data();
    for (uint32_t c = 0; c < n; ++c)
        out[c] = std::atan2(d[c].imag(), d[c].real());
}

void Visibility::valuesOf(bool amp, bool sub, float* out, uint32_t n) const
{
    if (amp)
        rawAmps(out, n);
    else
        rawPhases(out, n);
    // Amplitude-only records have no phases: Phase gives 0 with or without subtraction.
    if (!sub || (!amp && ampOnly))
        return;
    const double median = amp ? ampMedian : phaseMedian;
    for (uint32_t c = 0; c < n; ++c)
        out[c] = static_cast<float>(out[c] - median);
}

void Visibility::takeMedians(std::vector<float>& amps, std::vector<float>& phases, std::vector<float>& scratch)
{
    scratch.assign(amps.begin(), amps.end());
    ampMedian = median(scratch);
    scratch.assign(phases.begin(), phases.end());
    phaseMedian = median(scratch);
    for (float& a : amps)
        a = static_cast<float>(a - ampMedian);
    // Amplitude-only records have no phases: Phase gives 0 with or without subtraction.
    if (!ampOnly)
        for (float& p : phases)
            p = static_cast<float>(p - phaseMedian);
}
