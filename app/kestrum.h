// The kestrum viewer's entry: the run parameters, the usage text and the run itself.
#pragma once

#include "params/krellparams.h"

// The run parameters, filled from the command line by kestrumMain.
extern KrellParams opts;

// Prints the usage text to standard output.
void usage();

// Turns the one-based bchan/echan of the command line (0 = not given) into a zero-based,
// inclusive channel range with 0 <= bchan <= echan <= nchan - 1 (nchan >= 1).
void clampChannelRange(KrellParams& params, int nchan);

// The whole run: banner, usage or parameters, then the run sequence. Returns the exit status.
int kestrumMain(int argc, char** argv);
