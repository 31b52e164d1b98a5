/* Keyword parameters of a task: a table of key=value texts, each value handed out one comma-
   or blank-separated field at a time, with typed fetches, "@file" indirection and wildcards. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Sets the process-wide argument list that keyini reads: argv[0] is the task name, argv[1..argc-1]
   the parameters. The strings are copied. A program that never calls this gives keyini an empty
   list. */
void keyargs(int argc, const char* const* argv);

/* Empties the keyword table. */
void keyinic(void);

/* keyinic, then processes the arguments set by keyargs: "-f file" reads key=value lines from a
   parameter file, "-?" prints a one-line help and ends the program (status 0), other "-" flags
   are warned about and skipped, everything else is passed to keyput. */
void keyini(void);

/* Stores one "key=value" (or "key value") text; `n` is its used length. Bad names, repeated
   names and empty values are warnings and the text is dropped; a full table is fatal. */
void keyput(int n, const char* text);

/* keyput of `text` up to its last non-blank character. */
void keyputc(const char* text);

/* 1 when keyword `key` still has unconsumed fields, else 0. */
int keyprsnt(const char* key);

/* The next field of `key` into `value` (capacity `valuelen` including the NUL; longer fields are
   cut with a warning). `type` '*' asks for wildcard expansion of the field as a file name, ' '
   not. Returns the field's length, 0 when the keyword is absent or exhausted. */
int keyget(const char* key, char type, char* value, int valuelen);

/* Next field as text; `def` when there is none. */
void keya(const char* key, char* value, int valuelen, const char* def);

/* As keya with wildcard expansion; a non-blank result that names no existing file is fatal. */
void keyf(const char* key, char* value, int valuelen, const char* def);

/* Next field as a 32-bit integer (a real is rounded half away from zero); `def` when absent;
   a field that is no number is fatal. */
void keyi(const char* key, int* value, int def);

/* Next field as a 32-bit real; `def` when absent; a field that is no number is fatal. */
void keyr(const char* key, float* value, float def);

/* Next field as a 64-bit real; `def` when absent; a field that is no number is fatal. */
void keyd(const char* key, double* value, double def);

/* Next field as a logical, any case: 1 when it begins with T, Y, 1 or .T, 0 when with F, N, 0
   or .F; `def` when absent; anything else is a warning and leaves *value unchanged. */
void keyl(const char* key, int* value, int def);

/* All remaining fields, at most `nmax`, into `values`; *n is the count taken. Fields left over
   are fatal. The text forms store field i at values + i * valuelen (each slot `valuelen`
   characters including the NUL); mkeyf stops at the first blank name. */
void mkeya(const char* key, char* values, int valuelen, int nmax, int* n);
void mkeyf(const char* key, char* values, int valuelen, int nmax, int* n);
void mkeyi(const char* key, int* values, int nmax, int* n);
void mkeyr(const char* key, float* values, int nmax, int* n);
void mkeyd(const char* key, double* values, int nmax, int* n);

/* Minimum match of the next fields of `key` (lower-cased), at most `maxout` of them, against
   the `ntypes` words `types`: a field that is a word or the beginning of exactly one word yields
   that word, stored at out + i * outlen; *nout is the count. An ambiguous or unknown field lists
   the words and is fatal. Fields after the first `maxout` stay for later fetches. An absent
   keyword gives *nout 0. */
void keymatch(const char* key, int ntypes, const char* const* types, int maxout, char* out, int outlen, int* nout);

/* Warns about every keyword that was given but not used or not read to its end. */
void keyfin(void);

#ifdef __cplusplus
}
#endif
