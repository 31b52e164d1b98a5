/* The "line" and "ref" keywords of uv tasks: a line type (minimum match of "channel",
   "velocity", "felocity", "wide") followed by its channel count, start, width, step. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* "line" as type, count, start, width, step. Absent type: `ltype` blank and the channel
   defaults. Count defaults to 0 (negative is fatal); for "channel" and "wide" start, width and
   step default to 1, 1 and the width; for "velocity" and "felocity" to 0, 0 and the width.
   `ltype` has capacity `ltypelen` including the NUL. */
void keyline(char* ltype, int ltypelen, int* nchan, float* lstart, float* lwidth, float* lstep);

/* keyline followed by the channel-flagging tolerance `lflag` (default 1; for "velocity" and
   "felocity" it is 1 and not read from the keyword). */
void keygline(char* ltype, int ltypelen, int* nchan, float* lstart, float* lwidth, float* lstep, float* lflag);

/* "ref" as type, start, width, with the defaults of the same type under "line"; absent type
   leaves `rtype` blank. */
void keyrline(char* rtype, int rtypelen, float* rstart, float* rwidth);

#ifdef __cplusplus
}
#endif
