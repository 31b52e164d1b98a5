/* Baseline numbers: 256*a1 + a2 when a2 <= 255, else 2048*a1 + a2 + 65536 (a1 <= a2,
   antennas from 1), and the conversions between them and antenna pairs. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Decodes `baseline` (rounded to the nearest integer) into its antenna pair; a number that
   decodes to no valid pair is a fatal error. */
void basant(double baseline, int* ant1, int* ant2);

/* Encodes the antenna pair; ant1 > ant2 (or a pair that cannot be encoded) is fatal. */
double antbas(int ant1, int ant2);

#ifdef __cplusplus
}
#endif
