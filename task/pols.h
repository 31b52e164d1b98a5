/* Polarisation codes and their two-letter names: 1 I, 2 Q, 3 U, 4 V, -1 RR, -2 LL, -3 RL,
   -4 LR, -5 XX, -6 YY, -7 XY, -8 YX. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Code of a name ("xx", "I", "RL"; both letters the same case, trailing blanks ignored);
   fatal "Unrecognized polarization mnemonic: " + name when unknown. */
int polsp2c(const char* name);

/* The two-letter name of `code` ("I " style blank padding dropped as usual for out strings);
   fatal "Illegal polarization code" outside -8 .. 4 or for 0. */
void polsc2p(char* name, int namelen, int code);

/* 1 for the parallel-hand codes I, RR, LL, XX, YY; 0 otherwise. */
int polspara(int code);

#ifdef __cplusplus
}
#endif
