/* uv data sets: the variable stream ("vartable", "visdata", "vislen"), record reading with
   line selection and flags, record selection, and the write side of records and flags. */
#pragma once

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Type codes taken by the variable routines are the transfer types of the item layer:
   1 character (a), 2 32-bit integer (i), 3 16-bit integer (j, held as int), 4 real (r),
   5 double (d), 7 complex (c, pairs of floats). */

/* ---- Opening, closing, stepping through records ---- */

/* Opens the uv data set `name` with status "old", "new" or "append"; *tno receives the handle. */
void uvopen_c(int* tno, const char* name, const char* status);
/* Closes the data set (flushing first when writing). */
void uvclose_c(int tno);
/* Write side: writes "vartable", "obstype", "ncorr", "nwcorr", "vislen" and flushes. */
void uvflush_c(int tno);
/* Reading: steps to the next record. Writing: ends the current record. */
void uvnext_c(int tno);
/* Steps to the next record in which `var` changed (any record when `var` is empty);
   0, or -1 at the end of the data. */
int uvscan_c(int tno, const char* var);
/* Back to the first record. */
void uvrewind_c(int tno);

/* ---- Variables ---- */

/* The first element of `var` converted to `type`, or `def` when it is missing or has no value.
   For type 1, `n` is the capacity of the character buffer (NUL included). */
void uvrdvr_c(int tno, int type, const char* var, void* data, const void* def, int n);
/* The whole value of `var`; its type must be `type` and `n` its element count (for type 1 the
   buffer capacity, at least the length + 1). */
void uvgetvr_c(int tno, int type, const char* var, void* data, int n);
/* The type letter (blank when missing), element count (0 when missing), and whether `var`
   changed in a record scanned since the current read began. */
void uvprobvr_c(int tno, const char* var, char* type, int* length, int* updated);
/* Marks `var` for copying ("c") and/or update tracking ("u"). */
void uvtrack_c(int tno, const char* var, const char* switches);
/* 1 when a variable tracked with "u" changed since the current read began. */
int uvupdate_c(int tno);

/* Watched-variable sets: a handle, its variables, and whether any changed since the last call. */
void uvvarini_c(int tno, int* vhan);
void uvvarset_c(int vhan, const char* var);
int uvvarupd_c(int vhan);

/* Write side: writes `n` elements of `var` (only when changed); copies the "c"-tracked
   variables that changed in the current record of `tin` to `tout`. */
void uvputvr_c(int tno, int type, const char* var, const void* data, int n);
void uvcopyvr_c(int tin, int tout);

/* ---- Reading settings and records ---- */

/* Settings: "data", "reference", "coord", "planet", "preamble", "selection", "gflag", "flags",
   "corr" (see the argument meanings per object). */
void uvset_c(int tno, const char* object, const char* type, int n, double p1, double p2, double p3);
/* Reads the next accepted record: preamble doubles, `n` complex channels (float pairs) and
   flags (1 good, 0 bad); *nread channels delivered, 0 at the end of the data. */
void uvread_c(int tno, double* preamble, float* data, int* flags, int n, int* nread);
/* The wide-band channels of the current record. */
void uvwread_c(int tno, float* data, int* flags, int n, int* nread);
/* Information about the current record and line ("visno", "amprange", "line", "variance",
   "velocity", "felocity", "restfreq", "bandwidth", "frequency", "sfreq"). */
void uvinfo_c(int tno, const char* object, double* data);
/* Writes the flags of the last channel line read back into the "flags" mask. */
void uvflgwr_c(int tno, const int* flags);
/* The same for the last wide line read ("wflags"). */
void uvwflgwr_c(int tno, const int* flags);

/* Write side: one record of the preamble ("uv/time/baseline" or "uvw/time/baseline"),
   `n` channels of "corr" and their flags (NULL: no "flags" mask is written); ends the record. */
void uvwrite_c(int tno, const double* preamble, const float* data, const int* flags, int n);
/* Write side: `n` wide-band channels ("wcorr") and their flags (NULL: none) into the current
   record; call before uvwrite_c. */
void uvwwrite_c(int tno, const float* data, const int* flags, int n);

/* ---- Record selection ---- */

/* Adds a selection clause (`include` 1 selects, 0 rejects) or "clear", "and", "or". */
void uvselect_c(int tno, const char* object, double p1, double p2, int include);
/* Text selection: "source" with a pattern ("*" any run of characters). */
void uvsela_c(int tno, const char* object, const char* text, int include);

#ifdef __cplusplus
}
#endif
