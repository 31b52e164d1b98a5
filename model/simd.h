// The processor's vector intrinsics for the loops written for AVX-512 (each with a portable twin,
// chosen by haveAvx512() in model/util.h), with the two steps those loops share. GCC 12 warns that
// the intrinsics whose unmasked forms pass an undefined source use it uninitialised, which they do
// not; the warnings point into the header, so they are turned off there alone.
#pragma once

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstddef>

// The first k of sixteen lanes (all of them from k = 16 on).
inline __mmask16 firstLanes(size_t k)
{
    return k >= 16 ? __mmask16(0xffff) : static_cast<__mmask16>((1u << k) - 1);
}

// Appends the lanes of x that `keep` marks, in order, to out[m, ...) and moves m past them.
__attribute__((target("avx512f,popcnt"))) inline void appendKept(float* out, size_t& m, __mmask16 keep, __m512 x)
{
    const auto kept = static_cast<size_t>(__builtin_popcount(keep));
    _mm512_mask_storeu_ps(out + m, firstLanes(kept), _mm512_maskz_compress_ps(keep, x));
    m += kept;
}

// The lanes of `load` whose x lies in [lo, hi].
__attribute__((target("avx512f"))) inline __mmask16 inRange(__mmask16 load, __m512 x, __m512 lo, __m512 hi)
{
    return _mm512_mask_cmp_ps_mask(load, x, lo, _CMP_GE_OQ) & _mm512_cmp_ps_mask(x, hi, _CMP_LE_OQ);
}

// appendKept where out[m, m + 16) is free to write: all sixteen lanes are stored, those past the
// kept ones to be overwritten or never read, which saves making a mask of them.
__attribute__((target("avx512f,popcnt"))) inline void appendKeptWhole(float* out, size_t& m, __mmask16 keep, __m512 x)
{
    _mm512_storeu_ps(out + m, _mm512_maskz_compress_ps(keep, x));
    m += static_cast<size_t>(__builtin_popcount(keep));
}
