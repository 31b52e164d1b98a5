/* Data selection: parses the fields of a "select" keyword into a numeric selection array,
   issues it to an open uv data set as record-selection clauses, and answers probes on it. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Parses every field of keyword `key` into `sels` (capacity `maxsels` reals, at least 2).
   sels[0] is the number of entries, sels[1] the reference Julian date that absolute times are
   stored against; the entries follow. An absent keyword gives sels[0] = sels[1] = 0, which
   selects everything. Subcommands (any unique beginning of the name; "-" in front excludes;
   "or" starts a new group of clauses; within a group all kinds must match):
     time(t1[,t2])        hh:mm[:ss] time of day, yyMMMdd[:hh[:mm[:ss]]], yyyy-mm-dd[Thh:mm:ss]
                          or a Julian date (a plain number below 1 is a fraction of a day);
                          without t2 from t1 on
     antennae(a,...)[(b,...)]  baselines with any listed antenna [between the two lists]
     auto                 autocorrelations
     uvrange(lo,hi)/(hi)  kilowavelengths        uvnrange(lo,hi)/(hi)  nanoseconds
     pointing(lo,hi)/(hi) arcsec rms             dra(lo,hi), ddec(lo,hi)  arcsec
     amplitude(lo[,hi])   per channel            visibility(n1[,n2])   record numbers
     window(w,...)        spectral windows       increment(n)          every n-th record
     polarization(xx,...) names as "i", "rr", "xy"
     on[(v)]              "on" value, 1 when not given
     shadow[(d)]          shadowed baselines, dish diameter d metres (the data set's own if 0)
     frequency(lo,hi)     sky frequency in GHz   source(pattern,...)   "*" matches any run
     ra(lo,hi)            hh:mm:ss or hours      dec(lo,hi)  dd:mm:ss or degrees
     bin(lo[,hi])         pulsar bins            ha(lo,hi), lst(lo,hi)  hours or hh:mm:ss
     elevation(lo,hi)     degrees                seeing(lo,hi)/(hi)  rms path in microns
   Errors are fatal and name the offending field. */
void selinput(const char* key, float* sels, int maxsels);

/* Whether the selection accepts `value` for `object`: a polarisation code for "polarization",
   a window number for "window", a Julian date or time of day for "time", otherwise the value in
   the units the reader tests (radians for angles, wavelengths for "uvrange"). An object name
   ending in "?" asks whether the selection holds any entry of that object. The empty selection
   accepts every value and holds no entries. Objects without a single value to compare
   ("antennae", "auto", "shadow", "source", "increment", "or") can only be asked with "?". */
int selprobe(const float* sels, const char* object, double value);

/* Issues the selection to the open uv data set `tno` through uvselect_c and uvsela_c; with
   `flag` 0 every clause is issued with its sense reversed. Nothing is issued for an empty
   selection. */
void selapply(int tno, const float* sels, int flag);

#ifdef __cplusplus
}
#endif
