/* Flag masks: items holding one good/bad bit per data value, 31 flags to a big-endian word
   after an integer type tag, read and written through a 128-word window. Handles are small
   positive ints; errors are fatal. */
#pragma once

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    MK_FLAGS = 1, /* one int per flag: 1 good, 0 bad (nonzero good when writing) */
    MK_RUNS = 2 /* runs of good flags as (start, end) pairs of 1-based positions */
};

/* Opens mask item `name` of tree `tno`, status "old" or "new". Returns the handle, or 0 when
   an "old" mask does not exist. */
int mkopen_c(int tno, const char* name, const char* status);
/* Reads n flags from flag number `offset` into flags (capacity nsize ints) in `mode`;
   returns the number of ints written. */
int mkread_c(int handle, int mode, int* flags, off_t offset, int n, int nsize);
/* Writes n flags from flag number `offset`, given as nsize ints in `mode`. */
void mkwrite_c(int handle, int mode, const int* flags, off_t offset, int n, int nsize);
/* Writes the window back. */
void mkflush_c(int handle);
/* Flushes and closes the mask. */
void mkclose_c(int handle);

#ifdef __cplusplus
}
#endif
