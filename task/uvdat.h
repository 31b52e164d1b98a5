/* The uv data access layer: opens the input data sets named by a task's keywords one after
   another and hands out their records with channel selection, data selection, Stokes
   formation and calibration applied. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the input names from keyword `key` (wildcards expanded) and configures the
   processing from the flag letters: p planet, w wavelengths, r "ref" keyword, l "line"
   keyword, c gains, f bandpass, s "stokes" keyword, a autos only, x crosses only, b one input
   only, d "select" keyword, e leakage, 3 preamble with w, 1 one channel when "line" is blank.
   Unknown letters are ignored. Errors are fatal. */
void uvdatinp(const char* key, const char* flags);

/* Opens the next input data set; 1 with its handle in *tno, 0 when all have been opened. */
int uvdatopn(int* tno);

/* Next record: preamble (u, v, [w,] time, baseline), n-channel capacity of complex `data`
   (float pairs) and `flags` (1 good, 0 bad). *nread is the channel count, 0 at the end. */
void uvdatrd(double* preamble, float* data, int* flags, int n, int* nread);

/* Next record's wide-band channels; fatal when polarisation processing is in force. */
void uvdatwrd(float* data, int* flags, int n, int* nread);

/* Integer facts: "pol", "npol", "visno", "nchan", "number", "nfiles" (one value) and "pols"
   (the requested codes; `value` must hold 4 integers). Others are fatal. */
void uvdatgti(const char* object, int* value);

/* Real facts of the last record: "variance", "jyperk". Others are fatal. */
void uvdatgtr(const char* object, float* value);

/* Text facts: "name" (the open data set's name), "ltype" (the line type); blank-padded
   semantics: the result is NUL-terminated with trailing blanks dropped, cut to fit. */
void uvdatgta(const char* object, char* value, int valuelen);

/* "stokes": from now on deliver the single polarisation `value` (a code of polsp2c, or
   0/5/6 for ii/qq/uu); "disable": `value` nonzero switches Stokes processing and
   calibration off for the data sets opened afterwards. Others are fatal. */
void uvdatset(const char* object, int value);

/* Whether the selection of the "select" keyword accepts `value` for `object`. */
int uvdatprb(const char* object, double value);

/* Restarts the input list; fatal while a data set is open. */
void uvdatrew(void);

/* Closes the open data set; fatal when none is open. */
void uvdatcls(void);

#ifdef __cplusplus
}
#endif
