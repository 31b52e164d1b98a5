// Every run parameter of the viewer, its survey program (and of the sibling flagging application that shares
// the class), read from the command line with defaults, echoes, warnings and errors.
#pragma once

#include "params/params.h"

#include <cstdint>
#include <string>

// Which application's keywords to read; other values read only vis, stokes and options.
enum eApp : int32_t { eAppFlag = 0, eAppView = 1, eAppSurvey = 2 };

class KrellParams : public Params {
public:
    explicit KrellParams(eApp app);

    // Reads the command line; false (message on standard error) when the run cannot go on.
    bool read(int argc, char** argv);

    eApp app;
    std::string vis;
    std::string stokes = "i";
    bool goodchGiven = false;
    bool medtcal = false;
    bool medsed = false;
    int32_t goodch = 9;  // zero-based
    double cutoff = 7.0;
    int32_t interval = 1200;
    double thres = 0.15;
    double gap = 150.0;
    double rmscut = 3.0;
    bool test = false;
    int32_t testAnt1 = 0;
    int32_t testAnt2 = 0;
    int32_t testChan = 0;  // zero-based
    std::string stokesFlag;
    bool optShort = false;
    bool optRms = false;
    bool optLong = false;
    bool optAmp = false;
    bool optIgnore = false;
    bool optReplace = false;
    bool optNoapply = false;
    std::string device = "/S2MONO";
    double scale = 10.0;
    int32_t bchan = 0;  // one-based, 0 = not given
    int32_t echan = 0;  // one-based, 0 = not given
    // The survey's keywords (kestrum-survey).
    double nsigma = 5.0;
    int32_t top = 10;
    std::string out;  // per-baseline table, empty for none
    std::string antennasOut;  // per-antenna table, empty for none
    double chanfrac = 0.2;
    double intfrac = 0.2;
    double outlimit = 0.001;
    // The survey's pictures: png= names their folder (empty for none); the rest say how each
    // baseline is drawn, as the view's keys would set it.
    std::string png;
    bool pngTilt = true;  // view=tilt, else view=home
    int32_t pngMode = 0;  // mode=raw, tcal, sed: the view's median subtraction 0, 1, 2
    int32_t pngStyle = 0;  // style=points, across, time, hatch: the view's line style 0 .. 3
    int32_t pngColour = 0;  // colour=white, value, time: the view's colouring 0, 1, 2
    bool pngWaterfall = false;  // waterfall=yes

private:
    // The flagging application's option words and keywords; false when they are unusable.
    bool readFlagging();
    // The survey's keywords; false (message on standard error) when a value is out of range.
    bool readSurvey();
};
