// The interactive baseline view: the viewer's state, the per-frame drawing of the current
// baseline, the keyboard commands, the world window and the axis labels.
#pragma once

#include "model/observation.h"
#include "model/util.h"

#include <map>
#include <string>

// The viewer's state. main sets it up; kcb changes it; cb and rescale read it.
extern Observation* pobs;  // the loaded data set, never deleted
extern std::map<std::string, Source>::iterator s;  // current source
extern std::map<int32_t, Baseline>::iterator b;  // current baseline of *s
extern stats pstats;  // phase statistics of *b (radians), kept up to date while phases are shown
extern stats astats;  // amplitude statistics of *b
extern int subMedian;  // 0 none, 1 tcal, 2 tcal and SED
extern bool doAmp;  // amplitudes (true) or phases
extern int doLine;  // bit 0 lines across the band, bit 1 lines in time
extern bool compressTime;  // drop the gaps between scans
extern bool fullRange;  // vertical range from min to max
extern int colourMode;  // points and lines: 0 white, 1 by value, 2 by time
extern bool showFlags;  // flagged points and cells drawn in the flag colour instead of left out

// Per-frame callback: draws the current baseline, then the labels.
void cb(double* t, int* kc);
// Keyboard callback: 1 when the key was handled, 0 to pass it (maybe changed) on.
int kcb(unsigned char* key);
// The world window for the current state: channels bchan..echan, the value range, and the time
// extent in hours; a window without width, height or depth is widened so that it maps.
struct WorldWindow {
    double x1, x2, y1, y2, z1, z2;
    bool operator==(const WorldWindow&) const = default;
};
WorldWindow worldWindow();
// Sets the viewport and the world window for the current state.
void rescale();
// Draws the box, the axis labels and the two-line title.
void label();

// What a drawing of the current baseline depends on besides its value range: a drawing made for
// an equal key is still the picture of the state.
struct ViewKey {
    const Baseline* baseline = nullptr;
    bool amp = true, compress = false, flags = false;
    int sub = 0, bchan = 0, echan = -1;
    double tint = 0.0;
    bool operator==(const ViewKey&) const = default;
};
// The key of the current state.
ViewKey viewKey();

// Recomputes the current baseline's statistics for the current subMedian and copies the
// phase and amplitude summaries into pstats and astats; with `announce` (the run's first
// computation) debugging output says each step.
void updateStatistics(bool announce = false);

// The title that label() draws, for the current state.
std::string viewTitle();
