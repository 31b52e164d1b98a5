// The GLUT window layer of the plotting library: display probing, the window, the event loop
// with its frame pacing, input handling, snapshots and the fade-out on quit.
#pragma once

namespace kestrum::plot {

// Opens the window ("S2GL application", S2GL_WIDTH x S2GL_HEIGHT or 800 x 600, or the whole
// screen). Probes the X display first so that a missing or refusing display gives a warning and
// false instead of ending the process.
bool openWindow(int argc, char** argv, bool fullScreen);

bool windowIsOpen();
// Width over height of the window as last sized.
double windowAspect();

// Draws one frame at once, as the event loop does at most 90 times a second: the per-frame
// callback, the drawing and the buffer swap.
void drawFrame();

// Runs the event loop of the open window; returns only when no window is open.
void runEventLoop();

}  // namespace kestrum::plot
