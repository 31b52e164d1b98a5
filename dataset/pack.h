/* Byte-order converters between host values and the big-endian representation every
   multi-byte value has on disk. Each takes (source, destination, element count). */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Low 16 bits of each 32-bit int, high byte first. */
void pack16_c(const int* in, char* out, int n);
/* 16-bit big-endian values into 32-bit ints, sign-extended. */
void unpack16_c(const char* in, int* out, int n);
/* 32-bit ints to and from big-endian. */
void pack32_c(const int* in, char* out, int n);
void unpack32_c(const char* in, int* out, int n);
/* 64-bit ints to and from big-endian. */
void pack64_c(const int64_t* in, char* out, int n);
void unpack64_c(const char* in, int64_t* out, int n);
/* IEEE singles to and from big-endian. */
void packr_c(const float* in, char* out, int n);
void unpackr_c(const char* in, float* out, int n);
/* IEEE doubles to and from big-endian. */
void packd_c(const double* in, char* out, int n);
void unpackd_c(const char* in, double* out, int n);

#ifdef __cplusplus
}
#endif
