// The waterfall: one row per time slot, one column per channel of the range. Without time
// compression a row is one integration time, so the gaps between scans stay as empty rows;
// with it a row is one record. The cells are kept in a buffer that is reused, recomputed only
// when the baseline, the quantity, the median mode, the compression, the channel range, the
// vertical range or the flag display change.
#include "app/waterfall.h"

#include "app/kestrum.h"
#include "app/view.h"
#include "model/colourmap.h"
#include "plot/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <vector>

bool waterfall = false;

namespace {

static_assert(sizeof(Rgb) == 3, "the colour map is handed on as bytes");

// Rows beyond this many (a long stretch without compression) share their rows.
constexpr double kMaxRows = 16384;

// How records fall into rows: row = round(days since the first record * rowsPerDay), or the
// record's position with compression; hoursPerRow is a row's height on the time axis.
struct Grid {
    int nx = 0, ny = 0;
    bool bySlot = true;
    double rowsPerDay = 0.0, hoursPerRow = 0.0;
};

Grid grid()
{
    const Baseline& bl = b->second;
    const size_t n = bl.vis.size();
    Grid g;
    g.nx = opts.echan - opts.bchan + 1;
    const double tint = pobs->tint > 0.0 ? pobs->tint : 1.0;
    g.hoursPerRow = tint / 3600.0;
    g.ny = static_cast<int>(std::max<size_t>(n, 1));
    if (compressTime || !(pobs->tint > 0.0) || n == 0)
        return g;
    const double span = pobs->allVis[bl.vis[n - 1]].time - pobs->allVis[bl.vis[0]].time;
    g.bySlot = false;
    g.rowsPerDay = 86400.0 / tint;
    if (span * g.rowsPerDay > kMaxRows - 1) {
        g.rowsPerDay = (kMaxRows - 1) / span;
        g.hoursPerRow = 24.0 / g.rowsPerDay;
    }
    g.ny = static_cast<int>(std::lround(span * g.rowsPerDay)) + 1;
    return g;
}

struct Picture {
    std::optional<ViewKey> key;  // none until the first picture is computed
    double lo = 0.0, hi = 0.0;
    Grid g;
    std::vector<std::uint8_t> cells;  // r, g, b per cell, rows from the first time up
};

Picture picture;

void computePicture(double lo, double hi)
{
    const Baseline& bl = b->second;
    const Grid g = grid();
    const bool tcal = subMedian > 0, sed = subMedian > 1;
    const ColourScale scale(lo, hi);
    picture.cells.assign(static_cast<size_t>(g.nx) * static_cast<size_t>(g.ny) * 3, 0);
    const double t0 = bl.vis.empty() ? 0.0 : pobs->allVis[bl.vis[0]].time;
    for (size_t i = 0; i < bl.vis.size(); ++i) {
        const Visibility& rec = pobs->allVis[bl.vis[i]];
        const long row = g.bySlot ? static_cast<long>(i) : std::lround((rec.time - t0) * g.rowsPerDay);
        if (row < 0 || row >= g.ny)
            continue;
        std::uint8_t* cell = &picture.cells[static_cast<size_t>(row) * static_cast<size_t>(g.nx) * 3];
        const auto ui = static_cast<unsigned>(i);
        for (int c = opts.bchan; c <= opts.echan; ++c, cell += 3) {
            Rgb colour = {0, 0, 0};
            if (static_cast<size_t>(c) >= rec.flags.size())
                continue;
            if (rec.flags[c] != 0) {
                if (!showFlags)
                    continue;
                colour = kFlagColour;
            } else {
                colour = scale.colour(doAmp ? bl.Amp(ui, c, tcal, sed)
                                            : bl.Phase(ui, c, tcal, sed) * 180.0 / std::numbers::pi);
            }
            cell[0] = colour.r;
            cell[1] = colour.g;
            cell[2] = colour.b;
        }
    }
    picture.key = viewKey();
    picture.lo = lo;
    picture.hi = hi;
    picture.g = g;
}

bool pictureMatches(double lo, double hi)
{
    return picture.key == viewKey() && picture.lo == lo && picture.hi == hi;
}

// The world rectangle of the cells: each channel and each row centred on its value.
void cellRectangle(const Grid& g, float& x1, float& x2, float& y1, float& y2)
{
    x1 = static_cast<float>(opts.bchan - 0.5);
    x2 = static_cast<float>(opts.echan + 0.5);
    y1 = static_cast<float>(-0.5 * g.hoursPerRow);
    y2 = static_cast<float>((g.ny - 0.5) * g.hoursPerRow);
}

float savedCamera[3][3];

}  // namespace

void toggleWaterfall()
{
    waterfall = !waterfall;
    if (waterfall) {
        s2qcam(savedCamera[0], savedCamera[1], savedCamera[2]);
        // Straight at the picture, close enough that it fills most of the height.
        const float position[3] = {0, 0, 3.3f}, target[3] = {0, 0, 0}, up[3] = {0, 1, 0};
        s2scam(position, target, up);
    } else {
        s2scam(savedCamera[0], savedCamera[1], savedCamera[2]);
    }
}

void rescaleWaterfall()
{
    float x1, x2, y1, y2;
    cellRectangle(grid(), x1, x2, y1, y2);
    s2svp(-1, 1, -1, 1, 0, 0);
    s2swin(x1, x2, y1, y2, 0, 1);
}

void drawWaterfall()
{
    const WorldWindow w = worldWindow();
    if (!pictureMatches(w.y1, w.y2))
        computePicture(w.y1, w.y2);
    float x1, x2, y1, y2;
    cellRectangle(picture.g, x1, x2, y1, y2);
    s2image(picture.g.nx, picture.g.ny, picture.cells.data(), x1, x2, y1, y2, 0);
    const char* quantity = doAmp ? "Amplitude" : "Phase";
    s2cbar(kColourMapSize, &kColourMap[0].r, static_cast<float>(w.y1), static_cast<float>(w.y2), quantity);
    const std::string title = viewTitle();
    s2box("BCNT", 0, 0, "BCNT", 0, 0, "", 0, 0);
    s2lab("Channel", "time", "", title.c_str());
}
