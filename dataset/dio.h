/* The file layer: the only place where the data-set code touches the operating system's
   files and directories. Every status is 0 on success, otherwise the system error number;
   a transfer that moves fewer bytes than asked gives status 5 (EIO). */
#pragma once

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opens `name`. status "read": read-only; "write": read-write, created, truncated; "append":
   read-write, created; "scratch": as "write" on a name in $TMPDIR made unique by the process
   id, unlinked at once. Created files get rw-r--r--. On success *size is the file length.
   Any other status is fatal "dopen_c: Unrecognised status". */
void dopen_c(int* fd, const char* name, const char* status, off_t* size, int* iostat);
void dclose_c(int fd, int* iostat);
/* Reads or writes `length` bytes at byte `offset` of the file. */
void dread_c(int fd, void* buffer, off_t offset, size_t length, int* iostat);
void dwrite_c(int fd, const void* buffer, off_t offset, size_t length, int* iostat);
/* Transfers are synchronous: always status 0. */
void dwait_c(int fd, int* iostat);
/* Unlinks a file. */
void ddelete_c(const char* name, int* iostat);
/* Copies a data-set name into path (capacity pathlen), with a trailing "/". ENAMETOOLONG
   when it does not fit. */
void dtrans_c(const char* name, char* path, int pathlen, int* iostat);
/* Makes or removes a directory (one trailing "/" dropped); mkdir uses mode 0777. */
void dmkdir_c(const char* path, int* iostat);
void drmdir_c(const char* path, int* iostat);

/* Directory listing: dopendir_c sets *contxt (NULL when the directory cannot be read);
   each dreaddir_c gives the next entry other than "." and ".." (a directory with "/"
   appended), an empty string at the end; dclosedir_c releases the context. */
void dopendir_c(void** contxt, const char* path);
void dreaddir_c(void* contxt, char* path, int length);
void dclosedir_c(void* contxt);

/* Expands a file-name template (blank-separated words with the wildcards * ? [...]) into the
   matching names joined by ","; a word that matches nothing stands as it is. Nothing is
   executed and no variables are substituted. Returns the length written, or -1 when the
   result does not fit in `length` bytes (NUL included). */
int dexpand_c(const char* tmplt, char* output, int length);

/* Fault injection for tests: the `countdown`-th file operation from now (open, read, write,
   close, unlink, mkdir, rmdir, opendir) fails with `errnum` instead of running; 0 switches
   it off. Returns how many operations ran since the last call. */
int dfault_c(int countdown, int errnum);

#ifdef __cplusplus
}
#endif
