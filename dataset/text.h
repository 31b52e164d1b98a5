/* Text helpers for the blank-padded fixed-length fields that the task layer passes: zterm
   returns a NUL-terminated copy of the first `length` characters without trailing blanks, in a
   2048-byte ring buffer (valid until about 2048 further bytes have been converted); pad
   blank-fills a NUL-terminated string up to `length` characters. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

char* zterm(const char* text, int length);
void pad(char* text, int length);

#ifdef __cplusplus
}
#endif
