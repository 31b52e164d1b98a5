// The waterfall view of the current baseline: a picture with channel across and time up, each
// cell coloured by its value over the view's vertical range, with axes, title and colour bar.
#pragma once

// Whether the waterfall is shown instead of the 3-D view.
extern bool waterfall;

// Switches between the 3-D view and the waterfall: entering looks straight at the picture,
// leaving puts the camera back where the 3-D view had it.
void toggleWaterfall();
// Sets the viewport and world window of the waterfall for the current state.
void rescaleWaterfall();
// Per frame: the picture (recomputed only when something it shows changed), box, labels, bar.
void drawWaterfall();
