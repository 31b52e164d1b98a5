// Survey pictures: the view's state set from the picture keywords, its per-frame callback
// drawing each baseline into s2png, and the overview drawn through the plotting library.
#include "app/surveypictures.h"

#include "app/kestrum.h"
#include "app/surveyorder.h"
#include "app/view.h"
#include "app/waterfall.h"
#include "model/colourmap.h"
#include "plot/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <vector>

namespace {

constexpr int kWidth = 800, kHeight = 600;
// The tilted view: turned this many degrees right and up from home, so that time runs into
// the picture from the lower right.
constexpr float kTiltRight = -35.0f, kTiltUp = 25.0f;

bool writePicture(const std::string& path, float right, float up)
{
    if (s2png(path.c_str(), kWidth, kHeight, right, up) == 1)
        return true;
    std::cerr << "kestrum-survey: cannot write png=" << path << "." << std::endl;
    return false;
}

// What the overview shows, kept for its per-frame callback.
struct Overview {
    int32_t firstAntenna = 0, antennas = 0;
    std::vector<std::uint8_t> cells;  // antennas x antennas, row by row from the first antenna
    double lo = 0.0, hi = 1.0;  // log10 score range of the colours
    int32_t bchan = 0;
    std::vector<double> channels, integrations;  // outlier fractions
    std::string title;
};

Overview overview;

// One small plot: the fractions joined by lines in the viewport box x0..x1, y0..y1.
void fractionPlot(const std::vector<double>& f, int32_t first, float x0, float x1, float y0, float y1)
{
    double top = 0.0;
    for (double v : f)
        top = std::max(top, v);
    top = top > 0.0 ? top * 1.1 : 0.01;
    const float left = static_cast<float>(first) - 0.5f, right = static_cast<float>(first + f.size()) - 0.5f;
    s2svp(x0, x1, y0, y1, 0, 0);
    s2swin(left, right, 0, static_cast<float>(top), 0, 1);
    for (size_t k = 0; k + 1 < f.size(); ++k)
        ns2line(static_cast<float>(first + k), static_cast<float>(f[k]), 0, static_cast<float>(first + k + 1),
                static_cast<float>(f[k + 1]), 0, 1.0f, 0.8f, 0.3f);
    if (f.size() == 1)
        ns2point(static_cast<float>(first), static_cast<float>(f[0]), 0, 1.0f, 0.8f, 0.3f);
    s2box("BCNT", 0, 0, "BCNT", 0, 0, "", 0, 0);
}

void drawOverview(double*, int*)
{
    const Overview& o = overview;
    fractionPlot(o.channels, o.bchan, 0.2f, 1.0f, 0.15f, 0.7f);
    fractionPlot(o.integrations, 0, 0.2f, 1.0f, -0.7f, -0.15f);
    // The matrix last, so that the axis labels go to its box.
    const float a0 = static_cast<float>(o.firstAntenna) - 0.5f, a1 = a0 + static_cast<float>(o.antennas);
    s2svp(-1.4f, -0.2f, -0.7f, 0.5f, 0, 0);
    s2swin(a0, a1, a0, a1, 0, 1);
    s2image(o.antennas, o.antennas, o.cells.data(), a0, a1, a0, a1, 0);
    s2box("BCNT", 0, 0, "BCNT", 0, 0, "", 0, 0);
    s2lab("antenna", "antenna", "", o.title.c_str());
    s2cbar(kColourMapSize, &kColourMap[0].r, static_cast<float>(o.lo), static_cast<float>(o.hi), "log10 score");
    // What the camera frames.
    s2svp(-1.15f, 0.85f, -0.65f, 0.65f, 0, 0);
}

bool writeOverview(const Survey& survey, const KrellParams& params)
{
    Overview& o = overview;
    int32_t lo = 0, hi = -1;
    double top = -1e300, bottom = 1e300;
    std::map<std::pair<int32_t, int32_t>, double> worst;  // over the sources
    for (const BaselineSurvey& one : survey.baselines) {
        lo = hi < lo ? std::min(one.ant1, one.ant2) : std::min({lo, one.ant1, one.ant2});
        hi = std::max({hi, one.ant1, one.ant2});
        double& w = worst.try_emplace({one.ant1, one.ant2}, 0.0).first->second;
        w = std::max(w, one.score);
        if (one.score > 0.0) {
            top = std::max(top, std::log10(one.score));
            bottom = std::min(bottom, std::log10(one.score));
        }
    }
    o.firstAntenna = lo;
    o.antennas = std::max(hi - lo + 1, 1);
    o.hi = top > -1e300 ? std::max(top, 0.0) : 1.0;
    o.lo = std::min(bottom, o.hi - 1.0);
    const ColourScale scale(o.lo, o.hi);
    o.cells.assign(static_cast<size_t>(o.antennas) * static_cast<size_t>(o.antennas) * 3, 40);  // no baseline
    for (const auto& [pair, score] : worst) {
        const Rgb c = scale.colour(score > 0.0 ? std::log10(score) : o.lo);
        for (const auto& [i, j] : {std::pair{pair.first, pair.second}, {pair.second, pair.first}}) {
            std::uint8_t* cell = &o.cells[(static_cast<size_t>(j - lo) * o.antennas + (i - lo)) * 3];
            cell[0] = c.r, cell[1] = c.g, cell[2] = c.b;
        }
    }
    o.bchan = survey.bchan;
    o.channels = survey.channelOutliers;
    o.integrations = survey.integrationOutliers;
    o.title = "Survey of " + params.vis + ": score of each baseline (grey: none)\n" +
        "outlier fraction per channel (upper right) and per integration (lower right)";
    cs2scb(drawOverview);
    return writePicture((std::filesystem::path(params.png) / "overview.png").string(), 0, 0);
}

}  // namespace

std::string baselinePictureName(int rank, const BaselineSurvey& baseline)
{
    std::string source = baseline.source;
    for (char& c : source)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.' && c != '_')
            c = '_';
    char number[16];
    std::snprintf(number, sizeof number, "%03d", rank);
    return std::string(number) + "-" + source + "-" + std::to_string(baseline.ant1) + "-" +
        std::to_string(baseline.ant2) + ".png";
}

bool writeSurveyPictures(Observation& obs, const Survey& survey, const KrellParams& params)
{
    std::error_code ec;
    std::filesystem::create_directories(params.png, ec);
    if (ec) {
        std::cerr << "kestrum-survey: cannot make the folder png=" << params.png << ": " << ec.message() << "."
                  << std::endl;
        return false;
    }
    // The view's state as its keys would leave it.
    pobs = &obs;
    opts.bchan = params.bchan;
    opts.echan = params.echan;
    subMedian = params.pngMode;
    doAmp = true;
    doLine = params.pngStyle;
    colourMode = params.pngColour;
    compressTime = false;
    fullRange = false;
    showFlags = false;
    waterfall = params.pngWaterfall;
    surveyOrder.set(survey);  // the title ends with the rank, as in the viewer
    // A waterfall is a flat picture: always seen straight on.
    const bool tilt = params.pngTilt && !waterfall;

    cs2scb(cb);
    const size_t count =
        params.top == 0 ? survey.baselines.size() : std::min(survey.baselines.size(), static_cast<size_t>(params.top));
    for (size_t r = 0; r < count; ++r) {
        const BaselineSurvey& one = survey.baselines[r];
        s = obs.sources.find(one.source);
        b = s->second.baselines.find(one.key);
        updateStatistics();
        rescale();
        const std::string path =
            (std::filesystem::path(params.png) / baselinePictureName(static_cast<int>(r + 1), one)).string();
        if (!writePicture(path, tilt ? kTiltRight : 0.0f, tilt ? kTiltUp : 0.0f))
            return false;
    }
    return writeOverview(survey, params);
}
