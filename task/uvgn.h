/* Antenna-gain, delay and bandpass calibration of uv records: reads the calibration tables of a
   data set ("gains", "bandpass" with "freqs", or "cgains"/"wgains") and applies them per record. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the header values and tables of the open uv data set `tno` for the calibration to apply:
   `dogains` antenna gains (and delay terms) from the "gains" item, `dopass` bandpasses from the
   "bandpass" and "freqs" items, or, without "bandpass", the "cgains"/"wgains" tables.
   Inconsistent tables and item errors are fatal through bug_c. */
void uvgnini(int tno, int dogains, int dopass);

/* Calibrates one record in place: `time` (Julian date) and `baseline` (baseline number) from its
   preamble; `pol` its polarisation code (0: take the record's "pol" variable); `dowide` 1 for
   wide-band channels; `data` `nchan` complex values (real, imaginary pairs) and `flags` (1 good,
   0 bad) in and out. Records without a usable solution come back flagged. `grms` receives the
   amplitude of the applied gain product, 1.0 when no gain applies. */
void uvgnfac(double time, double baseline, int pol, int dowide, float* data, int* flags, int nchan, float* grms);

/* Ends the calibration of the data set: closes the "gains" item and releases the tables. */
void uvgnfin(void);

#ifdef __cplusplus
}
#endif
