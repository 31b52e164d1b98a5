// The processor's vector intrinsics for the loops written for AVX-512 (each with a portable twin,
// chosen by haveAvx512() in model/util.h). GCC 12 warns that the intrinsics whose unmasked forms
// pass an undefined source use it uninitialised, which they do not; the warnings point into the
// header, so they are turned off there alone.
#pragma once

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
