/* UVH5 files (visibilities in HDF5): recognising one by its content and reading it as the
   same records a uv data set gives, one polarisation at a time, formed by the polarisation
   algebra of the uv data access layer. One file is open at a time; every problem with it is
   fatal, with a message naming the file. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Antenna a of a UVH5 file (numbered from 0) is antenna a + UVH5_ANTSHIFT in the baseline
   numbers of its records, which count antennas from 1. */
#define UVH5_ANTSHIFT 1

/* 1 when `name` is a regular file that begins with the HDF5 signature, else 0. */
int uvh5probe(const char* name);

/* Opens the UVH5 file `name` and checks its layout, for records of the polarisation
   `stokes` ("xx", "i", "ii", ... as the "stokes" keyword takes them). A file with more than
   one spectral window opens with only its shape read: see "nspect". */
void uvh5open(const char* name, const char* stokes);

/* Integer facts of the open file: "nchan", "nspect" (spectral windows), "nants", "npol"
   (products per row), "nrows"; of the record last read: "visno", "pol". The codes of the
   products: "pols" into `value` (room for "npol" integers). Others are fatal. */
void uvh5gti(const char* object, int* value);

/* Facts of the record last read: "lst" (radians, 0 when the file has none), "inttime"
   (seconds). Others are fatal. */
void uvh5gtd(const char* object, double* value);

/* The source of the record last read ("source"), NUL-terminated, cut to `valuelen` - 1
   characters; "" when the file names none. Others are fatal. */
void uvh5gta(const char* object, char* value, int valuelen);

/* Next record, each baseline's in time order (the whole file in time order, rows of equal
   times in file order): preamble (u, v in wavelengths at the first channel, time as Julian
   date, baseline number), `n`-channel capacity of complex `data` (float pairs) and `flags`
   (1 good, 0 bad). *nread is the channel count, 0 at the end. */
void uvh5read(double* preamble, float* data, int* flags, int n, int* nread);

/* Closes the open file. */
void uvh5close(void);

#ifdef __cplusplus
}
#endif
