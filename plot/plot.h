// Public interface of kestrum's 3-D plotting library: device selection, world window, axis box,
// labels, points and lines, per-frame and keyboard callbacks and the interactive event loop.
#pragma once

#include <cstddef>

#ifdef __cplusplus
extern "C" {
#endif

// Index
//   Device ....... s2opend
//   Coordinates .. s2svp, s2swin
//   Annotation ... s2box, s2lab
//   Geometry ..... ns2point, ns2line, ns2points, ns2polyline, ns2polylines, ns2keep, s2image
//   Colour bar ... s2cbar
//   Camera ....... s2qcam, s2scam
//   Callbacks .... cs2scb, cs2skcb
//   Event loop ... s2show
//   Pictures ..... s2png, and the device "/PNG"
//
// Geometry drawn before s2show is static and shown on every frame; geometry drawn from inside the
// per-frame callback lasts one frame. Positions are world coordinates, mapped linearly from the
// world window onto the viewport box without clipping; colours are red, green, blue in 0 .. 1.
//
// Library keys (a key reaches them only when the keyboard callback returns 0 for it):
//   "Q", Shift+Escape  quit (fade-out, exit status 0)
//   "h", "H"           camera back home
//   arrow keys         rotate about the point looked at, one degree times the camera speed
//   "+", "-"           zoom in, out (also the mouse wheel; dragging with a button held rotates)
//   "<", ">"           halve, double the camera speed
//   F1                 on-screen help for these keys
//   F2                 write the current frame to s2frame-NNNN.png in the working directory

// Pictures need no window and no display: they are drawn on the CPU into an image (text in the
// DejaVu fonts of fonts-dejavu-core; $S2GL_FONT names another TrueType font for the labels) and
// written as PNG. The device "/PNG" opens no window; its s2show draws one frame from the home
// camera into the first free s2frame-NNNN.png of the working directory, S2GL_WIDTH x S2GL_HEIGHT
// (800 x 600) pixels, and returns.

// Opens the device `device` ("/S2MONO", "/S2MONOF", "/PNG", any case-insensitive prefix; "" or " " takes
// S2GL_DEV; "/?" prompts on standard input) and creates the window; argc/argv go to the window
// system. Returns 1 on success, 0 (with a message on standard error) on failure, also when no
// display can be opened: the process always goes on.
int s2opend(const char* device, int argc, char** argv);

// Sets the viewport box in device space.
void s2svp(float x1, float x2, float y1, float y2, float z1, float z2);
// Sets the world window: x1 maps onto the viewport's low x face, x2 onto the high one (y, z alike).
void s2swin(float x1, float x2, float y1, float y2, float z1, float z2);

// Draws the twelve edges of the world box with ticks and numeric labels; the option strings are
// "BCDETMNOPQ" for the full frame, a tick interval 0 and subdivision count 0 let the library choose.
void s2box(const char* xopt, float xtick, int nxsub, const char* yopt, float ytick, int nysub, const char* zopt,
           float ztick, int nzsub);
// Writes the axis labels along their axes and the title above the box; "\n" in the title breaks it
// into two lines.
void s2lab(const char* xlabel, const char* ylabel, const char* zlabel, const char* title);

// One point at a world position.
void ns2point(float x, float y, float z, float r, float g, float b);
// One line segment between two world positions.
void ns2line(float x1, float y1, float z1, float x2, float y2, float z2, float r, float g, float b);
// n points at world positions (x[i], y[i], z[i]), as n calls of ns2point but at a fraction of their
// cost: all in the colour (r, g, b) when `rgb` is null, else point i in rgb[3i], rgb[3i+1], rgb[3i+2].
void ns2points(int n, const float* x, const float* y, const float* z, const float* rgb, float r, float g, float b);
// A line through n points at world positions (x[i], y[i], z[i]), as n - 1 calls of ns2line joining
// each point to the next: each segment in the colour of its first point, taken as ns2points does.
void ns2polyline(int n, const float* x, const float* y, const float* z, const float* rgb, float r, float g, float b);
// Many lines in one call, as ns2polyline for each: line k through points start[k] .. start[k + 1] - 1
// of x, y, z for k < nlines (with their colours in rgb when it is not null), mapped on every core.
void ns2polylines(int nlines, const std::size_t* start, const float* x, const float* y, const float* z,
                  const float* rgb, float r, float g, float b);
// Inside the per-frame callback, before it draws any point or line: the points and lines that the
// last frame's callback drew stay for this frame as they were (mapped with the world window of
// then), so that a program whose geometry has not changed need not draw it again, nor the library
// look at it again. Returns 1 when they stay, 0 when there are none to keep (pictures drawn
// without a window, or a frame that drew points or lines already): then the program draws them.
int ns2keep(void);
// An image of nx x ny cells lying on the world rectangle x1 .. x2, y1 .. y2 in the plane z: `rgb`
// holds 3 bytes (red, green, blue in 0 .. 255) per cell, row after row starting with the row at
// y1, each row starting with the cell at x1. Every cell is a flat patch of its colour, drawn under
// the points and lines. The cells are copied; an image drawn again unchanged in the next frame
// costs a comparison, not a new upload to the graphics card.
void s2image(int nx, int ny, const unsigned char* rgb, float x1, float x2, float y1, float y2, float z);

// A colour bar at the right edge of the window, upright, in front of the scene and not turned by
// the camera: n colours of 3 bytes each, the colour of the value `lo` first, spread evenly from lo
// at the bottom to `hi` at the top, with ticks and their numbers to the right and `label` above.
// n < 1 draws no bar. Drawn in the per-frame callback it lasts one frame, like the geometry.
void s2cbar(int n, const unsigned char* rgb, float lo, float hi, const char* label);

// The camera in device space (the viewport's coordinates): its position, the point it looks at
// and its up direction.
void s2qcam(float position[3], float target[3], float up[3]);
// Places the camera; an up direction of zero length or along the line of sight leaves it unchanged.
void s2scam(const float position[3], const float target[3], const float up[3]);

// Registers the per-frame callback: called once per frame with the animation time in seconds and
// the number of space-bar presses so far.
void cs2scb(void (*callback)(double* t, int* kc));
// Registers the keyboard callback: called first for every ordinary key with a pointer to the key;
// a non-zero result consumes the key, otherwise the (possibly changed) key goes to the library.
void cs2skcb(int (*callback)(unsigned char* key));

// Places the camera at home and runs the event loop; never returns once a device is open.
// Without an open device it prints a warning and returns.
void s2show(int interactive);

// Draws the current scene into a width x height picture as the window would show it: the static
// geometry and one call of the per-frame callback (t = 0, kc = 0), seen from the home camera
// turned by `right` and `up` degrees as the arrow keys turn it. Writes it to the PNG file `path`,
// replacing that file once the picture is complete. Needs no device. Returns 1, or 0 after a
// warning on standard error with no file written. A missing font gives a warning once and
// pictures without text.
int s2png(const char* path, int width, int height, float right, float up);

#ifdef __cplusplus
}
#endif
