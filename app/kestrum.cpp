// The kestrum viewer's run: banner, usage text, run parameters, then the run sequence: load
// the data set, pick the first baseline, print the summary and hand over to the window.
#include "app/kestrum.h"

#include "app/surveyorder.h"
#include "app/surveyprogram.h"
#include "app/view.h"
#include "model/observation.h"
#include "plot/plot.h"

#include <algorithm>
#include <climits>
#include <iostream>

KrellParams opts(eAppView);

namespace {

const char* const version = "0.1.2";

// Everything after the run parameters. Returns the exit status; the window's event loop
// ends the process itself when the user quits.
int runSequence(int argc, char** argv)
{
    subMedian = 0;
    doAmp = true;
    // The viewer always takes the first channel as the reference channel.
    opts.goodchGiven = true;
    opts.goodch = 0;

    pobs = new Observation(opts, false);
    if (!pobs->getObsParams() || !pobs->read())
        return 1;
    clampChannelRange(opts, pobs->nchan);

    if (pobs->sources.empty()) {
        std::cout << "##### ERROR" << std::endl;
        std::cout << "No record of " << opts.vis << " names its source, so there is nothing to show. Aborting!"
                  << std::endl;
        return 1;
    }
    s = pobs->sources.begin();
    b = s->second.baselines.begin();
    surveyOrder.set(survey(*pobs, surveyThresholds(opts)));

    updateStatistics(true);

    pobs->summary();

    // Without a device there is nothing to draw on; the library has said why.
    if (!s2opend(opts.device.c_str(), argc, argv))
        return 1;
    rescale();
    cs2scb(cb);
    cs2skcb(kcb);
    s2show(1);
    return 0;
}

}  // namespace

void clampChannelRange(KrellParams& params, int nchan)
{
    // Saturated command-line numbers (INT_MIN) must not overflow on the way to zero-based.
    params.bchan = std::max(params.bchan, 1) - 1;
    params.echan = std::max(params.echan, INT_MIN + 1) - 1;
    if (params.bchan >= nchan)
        params.bchan = nchan - 1;
    if (params.echan >= nchan || params.echan == -1)
        params.echan = nchan - 1;
    params.echan = std::max(params.bchan, params.echan);
}

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
    return runSequence(argc, argv);
}
