// kestrum-survey's run: keywords, the viewer's loader, the survey, the console tables and the
// CSV files.
#include "app/surveyprogram.h"

#include "app/kestrum.h"
#include "app/surveypictures.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

// Lists in the console table show at most this many runs of consecutive numbers.
constexpr size_t kShortRuns = 6;

// "3 7-9 12": runs of consecutive numbers as first-last, at most kShortRuns of them and then
// "+N" for the numbers left out; "-" for none.
std::string shortList(const std::vector<int32_t>& numbers)
{
    if (numbers.empty())
        return "-";
    std::string text;
    size_t runs = 0, i = 0;
    for (; i < numbers.size() && runs < kShortRuns; ++runs) {
        size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            ++j;
        if (runs > 0)
            text += ' ';
        text += std::to_string(numbers[i]);
        if (j > i) {
            text += '-';
            text += std::to_string(numbers[j]);
        }
        i = j + 1;
    }
    if (i < numbers.size()) {
        text += " +";
        text += std::to_string(numbers.size() - i);
    }
    return text;
}

// Every number, space-separated, as one CSV field.
std::string fullList(const std::vector<int32_t>& numbers)
{
    std::string text;
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0)
            text += ' ';
        text += std::to_string(numbers[i]);
    }
    return text;
}

// A CSV field: quoted (with doubled quotes) when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char ch : text)
        quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return quoted + "\"";
}

std::string number(double x)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", x);
    return text;
}

// True when `path` names the data set itself or something inside it.
bool insideDataSet(const std::string& path, const std::string& vis)
{
    std::error_code ec;
    const auto dataset = std::filesystem::weakly_canonical(vis, ec);
    if (ec)
        return false;
    const auto target = std::filesystem::weakly_canonical(path, ec);
    if (ec)
        return false;
    auto d = dataset.begin();
    auto t = target.begin();
    for (; d != dataset.end(); ++d, ++t)
        if (t == target.end() || *d != *t)
            return false;
    return true;
}

// Writes `text` to `path` with the message naming it when that fails.
bool writeFile(const std::string& keyword, const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file)
        file << text;
    if (file)
        file.close();
    if (!file) {
        std::cerr << "kestrum-survey: cannot write " << keyword << "=" << path << ": " << std::strerror(errno) << "."
                  << std::endl;
        return false;
    }
    return true;
}

}  // namespace

SurveyThresholds surveyThresholds(const KrellParams& params)
{
    SurveyThresholds t;
    t.nsigma = params.nsigma;
    t.chanFraction = params.chanfrac;
    t.intFraction = params.intfrac;
    t.outlierLimit = params.outlimit;
    t.bchan = params.bchan;
    t.echan = params.echan;
    return t;
}

SurveyProgram::SurveyProgram() : params_(eAppSurvey) {}

void SurveyProgram::usage()
{
    std::cout << "kestrum-survey ranks every baseline and antenna of a quorin data set by how far its\n"
                 "amplitudes stray from noise around a smooth band, and lists bad channels and integrations.\n"
                 "\n"
                 "kestrum-survey vis=DATA [stokes=i] [nsigma=5] [top=10] [bchan=N] [echan=N]\n"
                 "               [out=FILE.csv] [antennas=FILE.csv] [chanfrac=0.2] [intfrac=0.2]\n"
                 "               [outlimit=0.001] [png=DIR [view=tilt] [mode=raw] [style=points]\n"
                 "               [colour=white] [waterfall=no]]\n"
                 "\n"
                 "nsigma   : a residual beyond this many robust sigmas is an outlier.\n"
                 "top      : baselines and antennas shown on the console.\n"
                 "bchan    : first and last channel surveyed (from 1), as for kestrum.\n"
                 "out      : every baseline, ranked, as CSV; antennas: every antenna, ranked, as CSV.\n"
                 "chanfrac : a channel with a larger fraction of outliers over time is bad;\n"
                 "intfrac  : an integration with a larger fraction of outliers across the band is bad.\n"
                 "outlimit : the outlier fraction that alone gives a baseline a score of 1.\n"
                 "png      : a folder for pictures: one per top baseline (top=0: all) as the view\n"
                 "           draws it, NNN-SOURCE-A1-A2.png, and overview.png; no display needed.\n"
                 "view     : home or tilt; mode: raw, tcal or sed (the m key); style: points,\n"
                 "           across, time or hatch (l); colour: white, value or time (k);\n"
                 "           waterfall: yes or no (v).\n";
}

bool SurveyProgram::readParameters(int argc, char** argv)
{
    if (!params_.read(argc, argv))
        return false;
    for (const auto& [keyword, path] :
         {std::pair{"out", params_.out}, {"antennas", params_.antennasOut}, {"png", params_.png}}) {
        if (!path.empty() && insideDataSet(path, params_.vis)) {
            std::cerr << "kestrum-survey: " << keyword << "=" << path << " lies in the data set " << params_.vis
                      << ", which is never written." << std::endl;
            return false;
        }
    }
    return true;
}

bool SurveyProgram::load()
{
    // The viewer's loading: the first channel as the reference channel.
    params_.goodchGiven = true;
    params_.goodch = 0;
    obs_ = std::make_unique<Observation>(params_, false);
    if (!obs_->getObsParams() || !obs_->read())
        return false;
    clampChannelRange(params_, obs_->nchan);
    if (obs_->sources.empty()) {
        std::cout << "##### ERROR" << std::endl;
        std::cout << "No record of " << params_.vis << " names its source, so there is nothing to survey. Aborting!"
                  << std::endl;
        return false;
    }
    obs_->summary();
    return true;
}

void SurveyProgram::report() const
{
    const Survey& sv = survey_;
    std::printf("\nSurvey of %zu baselines, channels %d to %d, outliers beyond %g robust sigmas.\n",
                sv.baselines.size(), sv.bchan, sv.echan, params_.nsigma);
    std::printf("%4s  %-12s %9s %10s %8s %9s %9s  %s\n", "rank", "source", "baseline", "score", "flagged%", "outlier%",
                "peak", "bad channels; bad integrations");
    const size_t top = std::min(sv.baselines.size(), static_cast<size_t>(params_.top));
    for (size_t r = 0; r < top; ++r) {
        const BaselineSurvey& one = sv.baselines[r];
        const std::string baseline = std::to_string(one.ant1) + "-" + std::to_string(one.ant2);
        std::printf("%4zu  %-12s %9s %10.3f %8.2f %9.4f %9.1f  %s; %s\n", r + 1, one.source.c_str(), baseline.c_str(),
                    one.score, 100.0 * one.flaggedFraction, 100.0 * one.outlierFraction, one.peakSigma,
                    shortList(one.badChannels).c_str(), shortList(one.badIntegrations).c_str());
    }
    std::printf("\nAntennas ranked by the median score of their baselines:\n%4s  %7s %9s %10s\n", "rank", "antenna",
                "baselines", "score");
    const size_t topAnts = std::min(sv.antennas.size(), static_cast<size_t>(params_.top));
    for (size_t r = 0; r < topAnts; ++r)
        std::printf("%4zu  %7d %9d %10.3f\n", r + 1, sv.antennas[r].antenna, sv.antennas[r].baselines,
                    sv.antennas[r].score);
    std::printf("\nChannels bad on most baselines: %s\n", shortList(sv.badChannels).c_str());
    std::printf("Integrations bad on most baselines (of %lld): %s\n", static_cast<long long>(sv.integrations),
                shortList(sv.badIntegrations).c_str());
    std::fflush(stdout);
}

bool SurveyProgram::writeTables() const
{
    if (!params_.out.empty()) {
        std::string text = "rank,source,ant1,ant2,records,flagged_fraction,rms,robust_sigma,outlier_fraction,"
                           "peak_sigma,bad_channels,bad_integrations,score\n";
        for (size_t r = 0; r < survey_.baselines.size(); ++r) {
            const BaselineSurvey& b = survey_.baselines[r];
            text += std::to_string(r + 1) + "," + csvField(b.source) + "," + std::to_string(b.ant1) + "," +
                std::to_string(b.ant2) + "," + std::to_string(b.records) + "," + number(b.flaggedFraction) + "," +
                number(b.rms) + "," + number(b.robustSigma) + "," + number(b.outlierFraction) + "," +
                number(b.peakSigma) + "," + fullList(b.badChannels) + "," + fullList(b.badIntegrations) + "," +
                number(b.score) + "\n";
        }
        if (!writeFile("out", params_.out, text))
            return false;
    }
    if (!params_.antennasOut.empty()) {
        std::string text = "rank,antenna,baselines,score\n";
        for (size_t r = 0; r < survey_.antennas.size(); ++r) {
            const AntennaSurvey& a = survey_.antennas[r];
            text += std::to_string(r + 1) + "," + std::to_string(a.antenna) + "," + std::to_string(a.baselines) + "," +
                number(a.score) + "\n";
        }
        if (!writeFile("antennas", params_.antennasOut, text))
            return false;
    }
    return true;
}

int SurveyProgram::run(int argc, char** argv)
{
    if (argc < 2) {
        usage();
        return 1;
    }
    if (!readParameters(argc, argv) || !load())
        return 1;
    survey_ = survey(*obs_, surveyThresholds(params_));
    report();
    if (!writeTables())
        return 1;
    return params_.png.empty() || writeSurveyPictures(*obs_, survey_, params_) ? 0 : 1;
}
