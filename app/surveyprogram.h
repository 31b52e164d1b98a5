// kestrum-survey: loads a data set as the viewer does, surveys every baseline and prints the
// ranked tables, and writes them as CSV files; never opens a window.
#pragma once

#include "model/observation.h"
#include "model/survey.h"
#include "params/krellparams.h"

#include <memory>
#include <string>

// The survey thresholds that the run parameters ask for, over the channels bchan..echan
// (zero-based, as clampChannelRange leaves them).
SurveyThresholds surveyThresholds(const KrellParams& params);

class SurveyProgram {
public:
    SurveyProgram();

    // The whole run from the command line; returns the exit status.
    int run(int argc, char** argv);

    // Prints the usage text to standard output.
    static void usage();

private:
    // Reads the keywords; false (after a message) when the run cannot go on.
    bool readParameters(int argc, char** argv);
    // Loads the data set as the viewer does; false after the loader's message.
    bool load();
    // The ranked tables on standard output: the top baselines, the top antennas and the
    // channels and integrations bad on most baselines.
    void report() const;
    // The out= and antennas= tables; false after a message naming the file that failed.
    bool writeTables() const;

    KrellParams params_;
    std::unique_ptr<Observation> obs_;
    Survey survey_;  // the ranked result, once load() has succeeded and the survey has run
};
