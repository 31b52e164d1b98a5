// The interactive baseline view. Every frame shows the current baseline as points (channel,
// value, time); the points are computed only when something they depend on changes
// (baseline, amplitude or phase, median mode, time compression, channel range, tint)
// and are kept in buffers that are reused, so that a frame costs what handing the points to
// the plotting library costs.
#include "app/view.h"

#include "app/kestrum.h"
#include "app/surveyorder.h"
#include "app/waterfall.h"
#include "model/colourmap.h"
#include "plot/plot.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <numbers>
#include <optional>
#include <vector>

Observation* pobs = nullptr;
std::map<std::string, Source>::iterator s;
std::map<int32_t, Baseline>::iterator b;
stats pstats;
stats astats;
int subMedian = 0;
bool doAmp = true;
int doLine = 0;
bool compressTime = false;
bool fullRange = false;
int colourMode = 0;
bool showFlags = false;

namespace {

constexpr double kDegPerRad = 180.0 / std::numbers::pi;

// The points of the current state.
//
//   records:  the unflagged points record by record, in channel order within a record;
//             record i's points are [recordStart[i], recordStart[i + 1]). Filled in one pass
//             over the model; they are what points and lines across the band draw.
//   channels: the same points channel by channel, in time order within a channel, indexed
//             by channelStart; sorted out of `records` when lines in time are first drawn.
//   flagged:  the flagged points, when they are shown.
//   colours:  red, green, blue of each point of `records`, and of `channels`, when the
//             colouring is not white, for the colour mode and range in their key.
// The key fields say for which state the buffers hold; a frame whose state matches reuses
// them. The vectors keep their capacity from one state to the next.
struct PointCache {
    std::optional<ViewKey> key;  // none until the first points are computed
    bool byChannel = false;  // `channels` holds the points of `records`

    std::vector<float> rx, ry, rz;
    std::vector<size_t> recordStart;
    std::vector<float> cx, cy, cz;
    std::vector<size_t> channelStart;
    std::vector<float> fx, fy, fz;

    struct ColourKey {
        int mode = 0;
        double lo = 0, hi = 0;
        bool operator==(const ColourKey&) const = default;
    };
    struct Colours {
        ColourKey key;
        bool valid = false;  // rgb matches the points and key
        std::vector<float> rgb;
    } recordColours, channelColours;

    // Counts the changes to the points and their colours.
    uint64_t generation = 0;

    // The values that computing the statistics of `rowsOf` left for every point, which the next
    // computation of the points takes instead of computing them again (and then frees).
    PointRows rows;
    const Baseline* rowsOf = nullptr;
};

PointCache cache;

// What the last frame's points and lines were drawn from: a frame that would draw them from the
// same keeps them instead (none after a frame of the waterfall).
struct Drawn {
    uint64_t generation = 0;
    PointCache::ColourKey colours;
    int line = 0;
    WorldWindow window;
    bool operator==(const Drawn&) const = default;
};
std::optional<Drawn> drawn;

bool cacheMatches()
{
    return cache.key == viewKey();
}

// Time coordinate, in hours, of record i of the current baseline.
double timeOf(const Baseline& bl, size_t i)
{
    if (compressTime)
        return static_cast<double>(i) * pobs->tint / 3600.0;
    return (pobs->allVis[bl.vis[i]].time - pobs->allVis[bl.vis[0]].time) * 24.0;
}

// Asks the statistics about to be computed for the current baseline to leave the values of the
// quantity shown.
PointRows* rowsWanted()
{
    cache.rows = PointRows{};
    cache.rows.amp = doAmp;
    cache.rowsOf = &b->second;
    return &cache.rows;
}

void computePoints()
{
    const Baseline& bl = b->second;
    const bool tcal = subMedian > 0, sed = subMedian > 1;
    const size_t n = bl.vis.size();
    const int c0 = opts.bchan, c1 = opts.echan;
    // The statistics' values of each record's channels start at rowStart[i], when they are there;
    // else each record's are computed here, channels 0 .. c1 at once.
    std::unique_ptr<float[]> rows;
    if (cache.rows.filled && cache.rowsOf == &bl && cache.rows.amp == doAmp && cache.rows.tcal == tcal)
        rows = std::move(cache.rows.values);
    cache.rows = PointRows{};
    std::vector<size_t> rowStart(rows ? n : 0, 0);
    for (size_t i = 1; i < rowStart.size(); ++i)
        rowStart[i] = rowStart[i - 1] + pobs->allVis[bl.vis[i - 1]].nchan;

    // The records are shared out to threads twice: to count each record's unflagged (and shown
    // flagged) points, which places them, and to fill them in.
    std::vector<size_t> flagStart(n + 1, 0);
    cache.recordStart.assign(n + 1, 0);
    const unsigned parts = partsFor(n * static_cast<size_t>(std::max(c1 - c0 + 1, 0)));
    inParts(parts, n, [&](unsigned, size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            const uint8_t* flags = pobs->allVis[bl.vis[i]].flags.data();
            size_t good = 0;
            for (int c = c0; c <= c1; ++c)
                good += flags[c] == 0;
            cache.recordStart[i + 1] = good;
            flagStart[i + 1] = showFlags ? static_cast<size_t>(c1 - c0 + 1) - good : 0;
        }
    });
    for (size_t i = 0; i < n; ++i) {
        cache.recordStart[i + 1] += cache.recordStart[i];
        flagStart[i + 1] += flagStart[i];
    }
    cache.rx.resize(cache.recordStart[n]);
    cache.ry.resize(cache.recordStart[n]);
    cache.rz.resize(cache.recordStart[n]);
    cache.fx.resize(flagStart[n]);
    cache.fy.resize(flagStart[n]);
    cache.fz.resize(flagStart[n]);
    const std::vector<stats>& chan = doAmp ? bl.chanAmpStats : bl.chanPhaseStats;
    inParts(parts, n, [&](unsigned, size_t begin, size_t end) {
        std::vector<float> own(static_cast<size_t>(std::max(c1 + 1, 0)));
        for (size_t i = begin; i < end; ++i) {
            const auto z = static_cast<float>(timeOf(bl, i));
            const Visibility& rec = pobs->allVis[bl.vis[i]];
            // The record's values as Amp or Phase give them without sed: the statistics' or its own.
            const float* row = own.data();
            if (rows)
                row = rows.get() + rowStart[i];
            else
                rec.valuesOf(doAmp, tcal, own.data(), static_cast<uint32_t>(own.size()));
            size_t used = cache.recordStart[i], flagged = flagStart[i];
            for (int c = c0; c <= c1; ++c) {
                const bool good = rec.flags[c] == 0;
                if (!good && !showFlags)
                    continue;
                float y = sed ? static_cast<float>(row[c] - chan[c].median) : row[c];
                if (!doAmp)
                    y = static_cast<float>(y * kDegPerRad);
                std::vector<float>& xs = good ? cache.rx : cache.fx;
                std::vector<float>& ys = good ? cache.ry : cache.fy;
                std::vector<float>& zs = good ? cache.rz : cache.fz;
                const size_t at = good ? used++ : flagged++;
                xs[at] = static_cast<float>(c);
                ys[at] = y;
                zs[at] = z;
            }
        }
    });

    cache.key = viewKey();
    ++cache.generation;
    cache.recordColours.valid = false;
    cache.channelColours.valid = false;
    cache.byChannel = false;
}

// Lines in time: the points of `records` grouped by channel, keeping time order. Done once for the
// points, when lines in time are first drawn. The records are shared out to threads in order: each
// counts its points per channel, which places them after those of the threads before it, then
// moves them a block of records at a time, channel by channel, so that each channel's line gets a
// short run of points at once rather than one point at a time.
void sortByChannel()
{
    constexpr size_t kBlock = 16;
    const int c0 = opts.bchan, c1 = opts.echan;
    const size_t width = c1 >= c0 ? static_cast<size_t>(c1 - c0 + 1) : 0;
    const size_t n = cache.recordStart.size() - 1, used = cache.rx.size();
    const unsigned parts = partsFor(used);
    std::vector<size_t> next(parts * width, 0);
    inParts(parts, n, [&](unsigned part, size_t begin, size_t end) {
        size_t* count = next.data() + part * width;
        for (size_t p = cache.recordStart[begin]; p < cache.recordStart[end]; ++p)
            ++count[static_cast<size_t>(cache.rx[p]) - c0];
    });
    cache.channelStart.assign(width + 1, 0);
    size_t placed = 0;
    for (size_t k = 0; k < width; ++k) {
        cache.channelStart[k] = placed;
        for (unsigned part = 0; part < parts; ++part) {
            const size_t count = next[part * width + k];
            next[part * width + k] = placed;
            placed += count;
        }
    }
    cache.channelStart[width] = placed;
    cache.cx.resize(used);
    cache.cy.resize(used);
    cache.cz.resize(used);
    inParts(parts, n, [&](unsigned part, size_t begin, size_t end) {
        size_t* at = next.data() + part * width;
        size_t cursor[kBlock], stop[kBlock];
        for (size_t r0 = begin; r0 < end; r0 += kBlock) {
            const size_t block = std::min(kBlock, end - r0);
            for (size_t g = 0; g < block; ++g) {
                cursor[g] = cache.recordStart[r0 + g];
                stop[g] = cache.recordStart[r0 + g + 1];
            }
            for (size_t k = 0; k < width; ++k) {
                const auto channel = static_cast<float>(c0 + static_cast<int>(k));
                size_t q = at[k];
                for (size_t g = 0; g < block; ++g) {
                    const size_t p = cursor[g];
                    if (p == stop[g] || cache.rx[p] != channel)
                        continue;
                    cache.cx[q] = channel;
                    cache.cy[q] = cache.ry[p];
                    cache.cz[q] = cache.rz[p];
                    ++q;
                    cursor[g] = p + 1;
                }
                at[k] = q;
            }
        }
    });
    cache.byChannel = true;
    ++cache.generation;
    cache.channelColours.valid = false;
}

// The colour mode's range: the vertical range by value, the time extent by time.
PointCache::ColourKey colourKey()
{
    const WorldWindow w = worldWindow();
    if (colourMode == 1)
        return {1, w.y1, w.y2};
    if (colourMode == 2)
        return {2, w.z1, w.z2};
    return {};
}

// The colours of points (y, z) for the colour mode and range in `key`, computed on every core
// unless `colours` holds them.
const float* colour(PointCache::Colours& colours, const std::vector<float>& y, const std::vector<float>& z,
                    const PointCache::ColourKey& key)
{
    if (key.mode == 0)
        return nullptr;
    if (colours.valid && colours.key == key)
        return colours.rgb.data();
    const ColourScale scale(key.lo, key.hi);
    const std::vector<float>& v = key.mode == 1 ? y : z;
    colours.rgb.resize(3 * v.size());
    inParts(partsFor(v.size()), v.size(), [&](unsigned, size_t begin, size_t end) {
        for (size_t p = begin; p < end; ++p) {
            const Rgb c = scale.colour(v[p]);
            colours.rgb[3 * p] = c.r / 255.0f;
            colours.rgb[3 * p + 1] = c.g / 255.0f;
            colours.rgb[3 * p + 2] = c.b / 255.0f;
        }
    });
    colours.key = key;
    colours.valid = true;
    ++cache.generation;
    return colours.rgb.data();
}

// Frees the memory of colours that are not drawn.
void release(PointCache::Colours& colours)
{
    std::vector<float>().swap(colours.rgb);
    colours.valid = false;
}

// Joins each point of every run [start[j], start[j + 1]) to the next one, each segment in the
// colour of its first point (white without colours).
void drawRuns(const std::vector<float>& x, const std::vector<float>& y, const std::vector<float>& z,
              const std::vector<size_t>& start, const float* rgb)
{
    ns2polylines(static_cast<int>(start.size() - 1), start.data(), x.data(), y.data(), z.data(), rgb, 1.0f, 1.0f, 1.0f);
}

void printHelp()
{
    static const char* const lines[] = {
        "kestrum key-stroke help:",
        "?          : show help.",
        "a          : toggle between showing amplitudes and showing phases.",
        "c          : compress time to take out blank periods between scans.",
        "h          : go back to the home position.",
        "l          : toggle between drawing points, lines across band, lines in time or",
        "             a cross-hatch surface.",
        "m          : toggle between three median subtraction modes:",
        "                1). None.",
        "                2). Subtract visibility median for each time stamp (Median tcal).",
        "                3). Additionally subtract channel median (median SED).",
        "n          : show next baseline pair.",
        "p          : show previous baseline pair.",
        "q          : exit",
        "arrow keys : rotate the view in the direction of the arrow key",
        "k          : cycle the colouring: white, by value (with a colour bar), by time.",
        "v          : toggle between the 3-D view and a waterfall (channel across, time up).",
        "g          : show or hide flagged points and cells (in red).",
        "w          : show the next baseline in survey order, worst first (wrapping round).",
    };
    for (const char* line : lines)
        std::cout << line << std::endl;
}

// A window edge pair that is not empty and is finite: equal edges are widened by half a
// unit (or half their size) on each side; an inverted pair (a negative scale) stays inverted.
void widen(double& lo, double& hi)
{
    if (!std::isfinite(lo) || !std::isfinite(hi)) {
        lo = -1.0;
        hi = 1.0;
    }
    if (hi == lo) {
        const double half = lo != 0.0 ? std::fabs(lo) * 0.5 : 0.5;
        lo -= half;
        hi += half;
    }
}

void drawPoints(const PointCache::ColourKey& key)
{
    if (doLine & 1)
        drawRuns(cache.rx, cache.ry, cache.rz, cache.recordStart, colour(cache.recordColours, cache.ry, cache.rz, key));
    else if (doLine == 0)
        ns2points(static_cast<int>(cache.rx.size()), cache.rx.data(), cache.ry.data(), cache.rz.data(),
                  colour(cache.recordColours, cache.ry, cache.rz, key), 1.0f, 1.0f, 1.0f);
    if (doLine & 2)
        drawRuns(cache.cx, cache.cy, cache.cz, cache.channelStart,
                 colour(cache.channelColours, cache.cy, cache.cz, key));
    const float red = kFlagColour.r / 255.0f, green = kFlagColour.g / 255.0f, blue = kFlagColour.b / 255.0f;
    ns2points(static_cast<int>(cache.fx.size()), cache.fx.data(), cache.fy.data(), cache.fz.data(), nullptr, red, green,
              blue);
}

void labelFrame(const PointCache::ColourKey& key)
{
    if (key.mode != 0)
        s2cbar(kColourMapSize, &kColourMap[0].r, static_cast<float>(key.lo), static_cast<float>(key.hi),
               key.mode == 2 ? "time"
                   : doAmp   ? "Amplitude"
                             : "Phase");
    label();
}

}  // namespace

ViewKey viewKey()
{
    return {&b->second, doAmp, compressTime, showFlags, subMedian, opts.bchan, opts.echan, pobs->tint};
}

void updateStatistics(bool announce)
{
    const bool tcal = subMedian > 0, sed = subMedian > 1;
    if (announce && Params::debug1)
        std::cout << "Updating baseline statistics" << std::endl;
    // The amplitudes' statistics are always needed (the title shows their rms); the phases'
    // only while phases are shown: "a" computes them when it turns to phases.
    PointRows* rows = rowsWanted();
    b->second.updateStats(tcal, sed, true, !doAmp, rows);
    if (announce && Params::debug1)
        std::cout << "Updating phase statistics" << std::endl;
    if (!doAmp)
        pstats = b->second.phaseStats(tcal, sed, rows);
    if (announce && Params::debug1)
        std::cout << "Updating amplitude statistics" << std::endl;
    astats = b->second.ampStats(tcal, sed, rows);
}

void cb(double*, int*)
{
    if (waterfall) {
        drawn.reset();
        drawWaterfall();
        return;
    }
    if (!cacheMatches())
        computePoints();
    const PointCache::ColourKey key = colourKey();
    // Colours are kept only while the points of their order are drawn in colour.
    if (key.mode == 0 || doLine == 2)
        release(cache.recordColours);
    if (key.mode == 0 || (doLine & 2) == 0)
        release(cache.channelColours);
    if (doLine & 2 && !cache.byChannel)
        sortByChannel();
    // Points and lines as the last frame drew them stay: while the view only turns, a frame costs
    // the drawing alone.
    const Drawn now{cache.generation, key, doLine, worldWindow()};
    if (drawn == now && ns2keep() != 0) {
        labelFrame(key);
        return;
    }
    drawPoints(key);
    drawn = Drawn{cache.generation, key, doLine, now.window};
    labelFrame(key);
}

std::string viewTitle()
{
    // Formatted into a fixed area; an extreme rms is cut rather than written past its end.
    char title[256];
    std::snprintf(title, sizeof title,
                  "Source: %s (%s); Baseline (%d-%d); RMS: %f\nMedian tcal %s; Median SED %s; Time compression %s",
                  s->second.name.c_str(), doAmp ? "Amplitudes" : "Phases", b->second.ant1, b->second.ant2, astats.rms,
                  subMedian >= 1 ? "ON" : "OFF", subMedian >= 2 ? "ON" : "OFF", compressTime ? "ON" : "OFF");
    if (const size_t rank = surveyOrder.rankOf(s->first, b->first))
        return std::string(title) + "; rank " + std::to_string(rank) + "/" + std::to_string(surveyOrder.size());
    return title;
}

void label()
{
    const std::string title = viewTitle();
    s2box("BCDETMNOPQ", 0, 0, "BCDETMNOPQ", 0, 0, "BCDETMNOPQ", 0, 0);
    s2lab("Channel", doAmp ? "Amplitude" : "Phase", "time", title.c_str());
}

WorldWindow worldWindow()
{
    const Baseline& bl = b->second;
    const size_t n = bl.vis.size();
    double zmax = 0.0;
    if (n > 0) {
        if (compressTime)
            zmax = static_cast<double>(n - 1) * pobs->tint / 3600.0;
        else
            zmax = (pobs->allVis[bl.vis[n - 1]].time - pobs->allVis[bl.vis[0]].time) * 24.0;
    }
    const stats& st = doAmp ? astats : pstats;
    double ymin, ymax;
    if (fullRange) {
        ymin = st.min;
        ymax = st.max;
    } else {
        ymin = st.median - st.rms * opts.scale;
        ymax = st.median + st.rms * opts.scale;
    }
    if (!doAmp) {
        ymin *= kDegPerRad;
        ymax *= kDegPerRad;
    }
    // A single record, one time stamp, equal values or a single channel would give a window
    // without height, depth or width: widen it so that the mapping stays defined.
    widen(ymin, ymax);
    double zmin = 0.0;
    if (!(zmax > 0.0) || !std::isfinite(zmax))
        zmax = (pobs->tint > 0.0 ? pobs->tint : 1.0) / 3600.0;
    double xmin = opts.bchan, xmax = opts.echan;
    if (xmax <= xmin) {
        xmin -= 0.5;
        xmax += 0.5;
    }
    return {xmin, xmax, ymin, ymax, zmin, zmax};
}

void rescale()
{
    if (waterfall) {
        rescaleWaterfall();
        return;
    }
    const WorldWindow w = worldWindow();
    s2svp(-1, 1, -1, 1, -1, 1);
    s2swin(static_cast<float>(w.x1), static_cast<float>(w.x2), static_cast<float>(w.y1), static_cast<float>(w.y2),
           static_cast<float>(w.z1), static_cast<float>(w.z2));
}

int kcb(unsigned char* key)
{
    const int k = std::toupper(*key);
    switch (k) {
    case '?':
        printHelp();
        return 1;
    case 'A':
        doAmp = !doAmp;
        if (!doAmp)
            pstats = b->second.phaseStats(subMedian > 0, subMedian > 1, rowsWanted());
        rescale();
        return 1;
    case 'C':
        compressTime = !compressTime;
        rescale();
        return 1;
    case 'F':
        fullRange = !fullRange;
        rescale();
        return 1;
    case 'L':
        doLine = (doLine + 1) % 4;
        rescale();
        return 1;
    case 'M':
        subMedian = (subMedian + 1) % 3;
        updateStatistics();
        rescale();
        return 1;
    case 'N':
        if (++b == s->second.baselines.end())
            b = s->second.baselines.begin();
        updateStatistics();
        rescale();
        return 1;
    case 'P':
        if (b == s->second.baselines.begin())
            b = s->second.baselines.end();
        --b;
        updateStatistics();
        rescale();
        return 1;
    case 'S':
        if (++s == pobs->sources.end())
            s = pobs->sources.begin();
        b = s->second.baselines.begin();
        updateStatistics();
        rescale();
        return 1;
    case 'K':
        colourMode = (colourMode + 1) % 3;
        return 1;
    case 'V':
        toggleWaterfall();
        rescale();
        return 1;
    case 'G':
        showFlags = !showFlags;
        return 1;
    case 'W':
        if (surveyOrder.size() > 0) {
            const auto& [source, key] = surveyOrder.next();
            s = pobs->sources.find(source);
            b = s->second.baselines.find(key);
            updateStatistics();
            rescale();
        }
        return 1;
    case 'Q':
        *key = 'Q';
        return 0;
    default:
        return 0;
    }
}
