// CPU rasteriser: points, lines with near- and far-plane clipping, text from FreeType glyphs,
// the help panel and the fade, in the order the GL renderer draws them.
#include "plot/raster.h"

#include "plot/threads.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace kestrum::plot {
namespace {

constexpr int kLabelPixels = 12;
// Scenes with at least this many segments have their lines drawn by several threads.
constexpr std::size_t kBandedSegments = 20000;
constexpr int kHelpPixels = 14;

class FontWidth : public TextWidth {
public:
    explicit FontWidth(const Font& font) : font_(font) {}
    double operator()(const char* text) const override { return font_.width(text); }

private:
    const Font& font_;
};

// Cuts the parameter range [t0, t1] of a segment to where the distance d (da at t = 0, db at
// t = 1, linear in between) is not negative; false when nothing is left.
bool keepInside(double da, double db, double& t0, double& t1)
{
    if (da < 0.0 && db < 0.0)
        return false;
    if (da < 0.0)
        t0 = std::max(t0, da / (da - db));
    else if (db < 0.0)
        t1 = std::min(t1, da / (da - db));
    return t0 <= t1;
}

// Pixel columns (or rows) whose centres lie in [lo, hi), within [0, limit).
void centresIn(double lo, double hi, int limit, int& first, int& end)
{
    first = std::max(static_cast<int>(std::ceil(lo - 0.5)), 0);
    end = std::min(static_cast<int>(std::ceil(hi - 0.5)), limit);
}

}  // namespace

void Raster::loadFonts()
{
    if (labelFont_ != nullptr)
        return;
    const char* chosen = std::getenv("S2GL_FONT");
    labelFont_ = std::make_unique<Font>(chosen != nullptr && *chosen != '\0' ? chosen : kLabelFontPath, kLabelPixels);
    helpFont_ = std::make_unique<Font>(kHelpFontPath, kHelpPixels);
    fontProblem_ = labelFont_->problem();
}

const std::string& Raster::fontProblem()
{
    loadFonts();
    return fontProblem_;
}

void Raster::drawPoints(const std::vector<Vertex>& points, std::size_t every)
{
    const ViewTransform& view = *view_;
    const double w = width_, h = height_;
    unsigned char* image = image_.data();
    for (std::size_t i = 0; i < points.size(); i += every) {
        const Vertex& p = points[i];
        const ViewTransform::Clip c = view.clip(p.x, p.y, p.z);
        if (!(c.z >= -c.w && c.z <= c.w && c.w > 0.0))
            continue;
        const double x = view.windowX(c), y = view.windowY(c);
        if (!(x >= 0.0 && x < w && y >= 0.0 && y < h))
            continue;
        unsigned char* px =
            image + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)) * 3;
        px[0] = p.r;
        px[1] = p.g;
        px[2] = p.b;
    }
}

void Raster::drawSegment(const ViewTransform::Clip& a, const ViewTransform::Clip& b, const std::uint8_t rgb[3],
                         Rows rows)
{
    // Between the near and far planes first, so that both ends have a window position.
    double t0 = 0.0, t1 = 1.0;
    if (!keepInside(a.z + a.w, b.z + b.w, t0, t1) || !keepInside(a.w - a.z, b.w - b.z, t0, t1))
        return;
    auto at = [&](double t) {
        return ViewTransform::Clip{a.x + t * (b.x - a.x), a.y + t * (b.y - a.y), a.z + t * (b.z - a.z),
                                   a.w + t * (b.w - a.w)};
    };
    const ViewTransform::Clip p = at(t0), q = at(t1);
    if (!(p.w > 0.0 && q.w > 0.0))
        return;
    drawWindowSegment(view_->windowX(p), view_->windowY(p), view_->windowX(q), view_->windowY(q), rgb, rows);
}

void Raster::drawWindowSegment(double x0, double y0, double x1, double y1, const std::uint8_t rgb[3], Rows rows)
{
    // Cut to the window first.
    const double dx = x1 - x0, dy = y1 - y0;
    double s0 = 0.0, s1 = 1.0;
    if (!keepInside(x0, x1, s0, s1) || !keepInside(width_ - x0, width_ - x1, s0, s1) || !keepInside(y0, y1, s0, s1) ||
        !keepInside(height_ - y0, height_ - y1, s0, s1))
        return;
    const double cx0 = x0 + s0 * dx, cy0 = y0 + s0 * dy, cx1 = x0 + s1 * dx, cy1 = y0 + s1 * dy;
    x0 = cx0, y0 = cy0, x1 = cx1, y1 = cy1;

    // One pixel per column (or row) whose centre the segment passes, the far end left open.
    const bool alongX = std::fabs(x1 - x0) >= std::fabs(y1 - y0);
    double u0 = alongX ? x0 : y0, u1 = alongX ? x1 : y1, v0 = alongX ? y0 : x0, v1 = alongX ? y1 : x1;
    if (u0 == u1)
        return;
    if (u1 < u0) {
        std::swap(u0, u1);
        std::swap(v0, v1);
    }
    const double slope = (v1 - v0) / (u1 - u0);
    const int first = static_cast<int>(std::ceil(u0 - 0.5)), end = static_cast<int>(std::ceil(u1 - 0.5));
    const int uLo = alongX ? 0 : rows.lo, uHi = alongX ? width_ : rows.hi;
    const int vLo = alongX ? rows.lo : 0, vHi = alongX ? rows.hi : width_;
    for (int u = std::max(first, uLo); u < std::min(end, uHi); ++u) {
        const int v = static_cast<int>(std::floor(v0 + (u + 0.5 - u0) * slope));
        if (v < vLo || v >= vHi)
            continue;
        const int column = alongX ? u : v, row = alongX ? v : u;
        unsigned char* px = image_.data() + (static_cast<std::size_t>(row) * width_ + column) * 3;
        px[0] = rgb[0];
        px[1] = rgb[1];
        px[2] = rgb[2];
    }
}

void Raster::drawLines(const std::vector<Vertex>& lines, std::size_t every, Rows rows)
{
    const ViewTransform& view = *view_;
    // A segment of a polyline starts where the one before it ended: that end is projected once.
    ViewTransform::Clip end{};
    const Vertex* ended = nullptr;
    for (std::size_t i = 0; i + 1 < lines.size(); i += 2 * every) {
        const Vertex& a = lines[i];
        const Vertex& b = lines[i + 1];
        const bool joined = ended != nullptr && ended->x == a.x && ended->y == a.y && ended->z == a.z;
        const ViewTransform::Clip start = joined ? end : view.clip(a.x, a.y, a.z);
        end = view.clip(b.x, b.y, b.z);
        ended = &b;
        drawSegment(start, end, &a.r, rows);
    }
}

void Raster::drawSceneLines(const std::vector<Vertex>& lines, std::size_t every)
{
    // Each band's thread projects every segment and sets only its own rows' pixels: every pixel
    // is set by the same segments in the same order as when one thread draws them all.
    const unsigned bands = threadsFor(lines.size() / (2 * every), kBandedSegments);
    const auto band = [&](unsigned k) {
        return Rows{height_ * int(k) / int(bands), height_ * int(k + 1) / int(bands)};
    };
    onThreads(bands, [&](unsigned k) { drawLines(lines, every, band(k)); });
}

void Raster::fill(double x0, double y0, double x1, double y1, const std::uint8_t rgb[3])
{
    int c0, c1, r0, r1;
    centresIn(x0, x1, width_, c0, c1);
    centresIn(y0, y1, height_, r0, r1);
    for (int r = r0; r < r1; ++r) {
        unsigned char* px = image_.data() + (static_cast<std::size_t>(r) * width_ + c0) * 3;
        for (int c = c0; c < c1; ++c, px += 3) {
            px[0] = rgb[0];
            px[1] = rgb[1];
            px[2] = rgb[2];
        }
    }
}

void Raster::drawImage(const Image& im)
{
    // The image's plane maps onto the window by a projective map: (X, Y, W) = H (x, y, 1) in
    // homogeneous window coordinates. Each pixel centre goes back through its inverse.
    const ViewTransform& view = *view_;
    const double z = im.p0[2], hw = 0.5 * width_, hh = 0.5 * height_;
    const ViewTransform::Clip o = view.clip(0, 0, z), ex = view.clip(1, 0, z), ey = view.clip(0, 1, z);
    const ViewTransform::Clip cols[3] = {
        {ex.x - o.x, ex.y - o.y, ex.z - o.z, ex.w - o.w}, {ey.x - o.x, ey.y - o.y, ey.z - o.z, ey.w - o.w}, o};
    double h[3][3];
    for (int k = 0; k < 3; ++k) {
        h[0][k] = hw * (cols[k].x + cols[k].w);
        h[1][k] = hh * (cols[k].y + cols[k].w);
        h[2][k] = cols[k].w;
    }
    double inv[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            inv[r][c] = h[r1][c1] * h[r2][c2] - h[r1][c2] * h[r2][c1];
        }
    const double det = h[0][0] * inv[0][0] + h[0][1] * inv[1][0] + h[0][2] * inv[2][0];
    if (!(std::fabs(det) > 0.0))
        return;  // seen edge on

    // The pixels to visit: around the corners when all are in front of the camera.
    double xs[2] = {0.0, static_cast<double>(width_)}, ys[2] = {0.0, static_cast<double>(height_)};
    bool front = true;
    double lo[2] = {1e300, 1e300}, hi[2] = {-1e300, -1e300};
    for (int k = 0; k < 4; ++k) {
        const ViewTransform::Clip c = view.clip(k & 1 ? im.p1[0] : im.p0[0], k & 2 ? im.p1[1] : im.p0[1], z);
        front = front && c.w > 0.0;
        if (!front)
            break;
        lo[0] = std::min(lo[0], view.windowX(c)), hi[0] = std::max(hi[0], view.windowX(c));
        lo[1] = std::min(lo[1], view.windowY(c)), hi[1] = std::max(hi[1], view.windowY(c));
    }
    if (front) {
        xs[0] = std::max(xs[0], lo[0]), xs[1] = std::min(xs[1], hi[0] + 1.0);
        ys[0] = std::max(ys[0], lo[1]), ys[1] = std::min(ys[1], hi[1] + 1.0);
    }
    int c0, c1, r0, r1;
    centresIn(xs[0], xs[1], width_, c0, c1);
    centresIn(ys[0], ys[1], height_, r0, r1);

    const double sx = im.nx / (static_cast<double>(im.p1[0]) - im.p0[0]);
    const double sy = im.ny / (static_cast<double>(im.p1[1]) - im.p0[1]);
    for (int r = r0; r < r1; ++r) {
        const double py = r + 0.5;
        unsigned char* px = image_.data() + (static_cast<std::size_t>(r) * width_ + c0) * 3;
        for (int c = c0; c < c1; ++c, px += 3) {
            const double pxc = c + 0.5;
            const double t = inv[2][0] * pxc + inv[2][1] * py + inv[2][2];
            const double x = (inv[0][0] * pxc + inv[0][1] * py + inv[0][2]) / t;
            const double y = (inv[1][0] * pxc + inv[1][1] * py + inv[1][2]) / t;
            const double w = o.w + x * cols[0].w + y * cols[1].w, cz = o.z + x * cols[0].z + y * cols[1].z;
            if (!(w > 0.0 && cz >= -w && cz <= w))
                continue;
            const double fi = std::floor((x - im.p0[0]) * sx), fj = std::floor((y - im.p0[1]) * sy);
            if (!(fi >= 0.0 && fi < im.nx && fj >= 0.0 && fj < im.ny))
                continue;
            const std::uint8_t* cell = im.rgb.data() +
                (static_cast<std::size_t>(fj) * static_cast<std::size_t>(im.nx) + static_cast<std::size_t>(fi)) * 3;
            px[0] = cell[0];
            px[1] = cell[1];
            px[2] = cell[2];
        }
    }
}

void Raster::drawColourBar(const ColourBar& bar)
{
    const ColourBarPlace place = colourBarPlace(width_, height_);
    const std::size_t n = bar.rgb.size() / 3;
    for (std::size_t k = 0; k < n; ++k)
        fill(place.x0, place.y0 + (place.y1 - place.y0) * static_cast<double>(k) / n, place.x1,
             place.y0 + (place.y1 - place.y0) * static_cast<double>(k + 1) / n, &bar.rgb[3 * k]);
    const std::uint8_t white[3] = {255, 255, 255};
    for (int t = 0; t < bar.ticks.count; ++t) {
        const double y = std::floor(place.tickY(bar, t)) + 0.5;
        drawWindowSegment(place.x1, y, place.tickEnd, y, white, allRows());
    }
}

void Raster::shade(double x0, double y0, double x1, double y1, double opacity)
{
    int c0, c1, r0, r1;
    centresIn(x0, x1, width_, c0, c1);
    centresIn(y0, y1, height_, r0, r1);
    const unsigned keep = static_cast<unsigned>(std::lround((1.0 - std::clamp(opacity, 0.0, 1.0)) * 256.0));
    for (int r = r0; r < r1; ++r) {
        unsigned char* px = image_.data() + (static_cast<std::size_t>(r) * width_ + c0) * 3;
        for (int k = 0; k < (c1 - c0) * 3; ++k)
            px[k] = static_cast<unsigned char>(px[k] * keep >> 8);
    }
}

void Raster::drawHelp()
{
    double widest = 0.0;
    for (int i = 0; i < kHelpLineCount; ++i)
        widest = std::max(widest, helpFont_->width(kHelpLines[i]));
    const HelpPanel p = helpPanel(height_, widest);
    shade(p.x0, p.y0, p.x1, p.y1, HelpPanel::kShade);
    const std::uint8_t yellow[3] = {255, 255, 153};
    for (int i = 0; i < kHelpLineCount; ++i)
        helpFont_->draw(image_.data(), width_, height_, static_cast<int>(std::lround(p.textX)),
                        static_cast<int>(std::lround(p.firstBaseline - i * HelpPanel::kLineHeight)), kHelpLines[i],
                        yellow);
}

const std::vector<unsigned char>& Raster::draw(const Scene& scene, const Camera& camera, int width, int height,
                                               const Overlays& overlays, int every)
{
    loadFonts();
    width_ = std::max(width, 1);
    height_ = std::max(height, 1);
    image_.assign(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 3, 0);
    const ViewTransform view(camera, width_, height_);
    view_ = &view;
    annotation_.layout(scene, view, FontWidth(*labelFont_));

    for (std::size_t k = 0; k < scene.imageCount(); ++k)
        drawImage(scene.images()[k]);
    const std::size_t step = static_cast<std::size_t>(std::max(every, 1));
    drawPoints(scene.points(), step);
    drawSceneLines(scene.lines(), step);
    drawLines(annotation_.lines(), 1, allRows());
    if (scene.colourBar().set)
        drawColourBar(scene.colourBar());
    const std::uint8_t white[3] = {255, 255, 255};
    for (const PlacedText& t : annotation_.texts())
        labelFont_->draw(image_.data(), width_, height_, static_cast<int>(std::lround(t.x)),
                         static_cast<int>(std::lround(t.y)), t.text, white);
    if (overlays.help)
        drawHelp();
    if (overlays.fade > 0.0)
        shade(0.0, 0.0, width_, height_, overlays.fade);
    view_ = nullptr;
    return image_;
}

}  // namespace kestrum::plot
