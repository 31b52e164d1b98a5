/* Header variables: small typed values (numbers, complex numbers, strings) stored as items
   under their own names, after a 4-byte big-endian type tag. Readers return the caller's
   default when the item is absent; writers replace the item. Errors are fatal. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The 4-byte type tags that start a header-variable item: the bytes 0, 0, 0, n. */
extern const char binary_item[4]; /* n 0: raw bytes */
extern const char char_item[4]; /* n 1: characters from offset 4 */
extern const char int_item[4]; /* n 2: 32-bit ints from offset 4 */
extern const char int2_item[4]; /* n 3: 16-bit ints from offset 4 */
extern const char real_item[4]; /* n 4: IEEE singles from offset 4 */
extern const char dble_item[4]; /* n 5: IEEE doubles from offset 8 */
extern const char cmplx_item[4]; /* n 7: (real, imaginary) singles from offset 8 */
extern const char int8_item[4]; /* n 8: 64-bit ints from offset 8 */

/* Readers: the value of item `name` of tree `tno`, or `defval` when absent or not a scalar
   of an accepted type. */
void rdhdd_c(int tno, const char* name, double* value, double defval);
void rdhdr_c(int tno, const char* name, float* value, float defval);
void rdhdi_c(int tno, const char* name, int* value, int defval);
void rdhdl_c(int tno, const char* name, int64_t* value, int64_t defval);
/* Complex: value and defval hold (real, imaginary). */
void rdhdc_c(int tno, const char* name, float* value, const float* defval);
/* String into value (capacity `length`, always NUL-terminated). */
void rdhda_c(int tno, const char* name, char* value, const char* defval, int length);

/* Writers. */
void wrhdi_c(int tno, const char* name, int value);
void wrhdr_c(int tno, const char* name, float value);
void wrhdd_c(int tno, const char* name, double value);
void wrhdl_c(int tno, const char* name, int64_t value);
void wrhdc_c(int tno, const char* name, const float* value);
void wrhda_c(int tno, const char* name, const char* value);

/* Describes item `name`: its type ("nonexistent", "unknown", "text", "binary", "character",
   "integer", "integer*2", "integer*8", "real", "double", "complex") into type (capacity
   typelen), its element count into *n, and for a single value or a string its text into
   descr (capacity `length`; untouched otherwise). */
void hdprobe_c(int tno, const char* name, char* descr, int length, char* type, int typelen, int* n);
/* 1 when item `name` exists, else 0. */
int hdprsnt_c(int tno, const char* name);
/* Copies item `name` from tree tin to tree tout byte for byte; nothing when it is absent. */
void hdcopy_c(int tin, int tout, const char* name);

/* The "history" text item: open with status "read", "write" or "append", one line per call;
   *eof is set to 1 at the end of the history when reading. */
void hisopen_c(int tno, const char* status);
void hiswrite_c(int tno, const char* text);
void hisread_c(int tno, char* text, int length, int* eof);
void hisclose_c(int tno);

#ifdef __cplusplus
}
#endif
