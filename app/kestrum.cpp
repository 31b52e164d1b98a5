// The kestrum viewer's run: banner, usage text, run parameters, then the run sequence.
#include "app/kestrum.h"

#include <iostream>

KrellParams opts(eAppView);

namespace {

const char* const version = "0.1.2";

}  // namespace

void usage()
{
    static const char* const lines[] = {
        "kestrum is a tool to graphically visualise a quorin data set",
        "in three dimensions: amplitude/phase verses channel and time.",
        "",
        "kestrum vis=quorin-dataset [stokes=...] [device=...]",
        "",
        "stokes : select the stokes parameter to visualise.",
        "         e.g. stokes=xx to select stokes xx.",
        "",
        "device : select the s2 device to use:",
        "         e.g. device=/S2MONOF for full screen viewing.",
        "",
        "For help with keystrokes press '?' and to quit press shift-'q'.",
    };
    for (const char* line : lines)
        std::cout << line << std::endl;
}

int kestrumMain(int argc, char** argv)
{
    std::cout << "kestrum version " << version << std::endl;
    if (argc == 1) {
        usage();
        return 1;
    }
    if (!opts.read(argc, argv))
        return 1;
    return 0;
}
