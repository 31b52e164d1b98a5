/* The data-set container: opens data sets (trees, directories) and their items (named byte
   streams: a file each, or for small ones a place in the "header" item), and moves typed data
   between memory and the big-endian on-disk form. Statuses: 0 success, -1 end of data,
   otherwise a system error number; inconsistencies are fatal through bug_c. */
#pragma once

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Transfer types of hio_c. Lengths and offsets count bytes of the on-disk form; IO_INT2
   expands to 32-bit ints in memory, IO_TEXT reads one line. */
enum {
    IO_BYTE = 1, /* bytes, unchanged */
    IO_INT = 2, /* 32-bit ints */
    IO_INT2 = 3, /* 16-bit on disk, 32-bit ints in memory */
    IO_REAL = 4, /* IEEE singles */
    IO_DBLE = 5, /* IEEE doubles */
    IO_TEXT = 6, /* newline-ended lines on disk, NUL-terminated in memory */
    IO_CMPLX = 7, /* (real, imaginary) pairs of singles */
    IO_INT8 = 8 /* 64-bit ints */
};

/* Opens the data set `name`: status "old" (exists; reads its "header" item) or "new"
   (creates the directory and an empty "header"). *tno is the tree handle (1 to 25). */
void hopen_c(int* tno, const char* name, const char* status, int* iostat);
/* Writes everything out and closes the data set; items still open are closed with a warning. */
void hclose_c(int tno);
/* Writes modified buffers and, when the small items changed, rewrites the "header" item. */
void hflush_c(int tno, int* iostat);
/* Opens item `keyword` of tree `tno` (tree 0: `keyword` is a plain file path) with status
   "read", "write", "scratch" or "append"; *itno is the item handle. "." is the listing. */
void haccess_c(int tno, int* itno, const char* keyword, const char* status, int* iostat);
/* Ends the access to an item. */
void hdaccess_c(int itno, int* iostat);
/* Reads (dowrite 0) or writes `length` on-disk bytes at byte `offset` of the item, converting
   per `type`. A read past the end of the item gives -1 and transfers nothing. */
void hio_c(int itno, int dowrite, int type, void* buf, off_t offset, off_t length, int* iostat);
/* Reads one text line at the item's current offset into line (capacity `length`, always
   NUL-terminated; a longer line continues with the next call) / writes `length` bytes of
   text there (a final NUL is stored as a newline). Both advance the current offset. */
void hreada_c(int itno, char* line, int length, int* iostat);
void hwritea_c(int itno, const char* line, int length, int* iostat);
/* The item's current offset for hreada_c/hwritea_c. */
void hseek_c(int itno, off_t offset);
off_t htell_c(int itno);
/* The item's size in bytes. */
off_t hsize_c(int itno);
/* 1 when the item exists (small item, or a file that can be read), else 0. */
int hexists_c(int tno, const char* keyword);
/* Deletes an item. */
void hdelete_c(int tno, const char* keyword, int* iostat);
/* Deletes every item of the data set, the directory, and closes the tree. */
void hrm_c(int tno);
/* Emergency close of every open data set, run by a fatal bug_c: nothing more is written,
   items being written and data sets made by this run are deleted. */
void habort_c(void);
/* The access the data set allows: "r", "rw", or "" for tree 0; into mode (capacity modelen). */
void hmode_c(int tno, char* mode, int modelen);

/* Typed transfers: hio_c with a fixed type. Lengths and offsets in on-disk bytes. */
static inline void hreadb_c(int it, char* b, off_t o, off_t l, int* s)
{
    hio_c(it, 0, IO_BYTE, b, o, l, s);
}
static inline void hwriteb_c(int it, const char* b, off_t o, off_t l, int* s)
{
    hio_c(it, 1, IO_BYTE, (void*)b, o, l, s);
}
static inline void hreadi_c(int it, int* b, off_t o, off_t l, int* s)
{
    hio_c(it, 0, IO_INT, b, o, l, s);
}
static inline void hwritei_c(int it, const int* b, off_t o, off_t l, int* s)
{
    hio_c(it, 1, IO_INT, (void*)b, o, l, s);
}
static inline void hreadj_c(int it, int* b, off_t o, off_t l, int* s)
{
    hio_c(it, 0, IO_INT2, b, o, l, s);
}
static inline void hwritej_c(int it, const int* b, off_t o, off_t l, int* s)
{
    hio_c(it, 1, IO_INT2, (void*)b, o, l, s);
}
static inline void hreadr_c(int it, float* b, off_t o, off_t l, int* s)
{
    hio_c(it, 0, IO_REAL, b, o, l, s);
}
static inline void hwriter_c(int it, const float* b, off_t o, off_t l, int* s)
{
    hio_c(it, 1, IO_REAL, (void*)b, o, l, s);
}
static inline void hreadd_c(int it, double* b, off_t o, off_t l, int* s)
{
    hio_c(it, 0, IO_DBLE, b, o, l, s);
}
static inline void hwrited_c(int it, const double* b, off_t o, off_t l, int* s)
{
    hio_c(it, 1, IO_DBLE, (void*)b, o, l, s);
}
static inline void hreadc_c(int it, float* b, off_t o, off_t l, int* s)
{
    hio_c(it, 0, IO_CMPLX, b, o, l, s);
}
static inline void hwritec_c(int it, const float* b, off_t o, off_t l, int* s)
{
    hio_c(it, 1, IO_CMPLX, (void*)b, o, l, s);
}
static inline void hreadl_c(int it, int64_t* b, off_t o, off_t l, int* s)
{
    hio_c(it, 0, IO_INT8, b, o, l, s);
}
static inline void hwritel_c(int it, const int64_t* b, off_t o, off_t l, int* s)
{
    hio_c(it, 1, IO_INT8, (void*)b, o, l, s);
}

/* Scratch files under $TMPDIR for tasks that need temporary storage, in records of a fixed
   size (scrrecsz_c, in 4-byte words; one word by default). Errors are fatal. */
void scropen_c(int* handle);
void scrclose_c(int handle);
void scrrecsz_c(int handle, int recsize);
void scrread_c(int handle, void* buffer, off_t offset, off_t length);
void scrwrite_c(int handle, const void* buffer, off_t offset, off_t length);

#ifdef __cplusplus
}
#endif
