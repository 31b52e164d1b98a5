// Projection and annotation layout shared by the GL renderer and the CPU rasteriser.
#include "plot/frame.h"

#include <algorithm>
#include <cmath>

namespace kestrum::plot {

const char* const kHelpLines[] = {
    "Keys of the plot window",
    "Shift+Esc, Q : quit",
    "h            : back to the home position",
    "arrow keys   : rotate the view",
    "mouse drag   : rotate the view",
    "wheel, + -   : zoom in, out",
    "< >          : camera speed down, up",
    "F1           : show or hide this help",
    "F2           : save the frame as s2frame-NNNN.png",
};
const int kHelpLineCount = sizeof kHelpLines / sizeof kHelpLines[0];

HelpPanel helpPanel(int height, double widestLine)
{
    const double x0 = 20.0, y1 = height - 60.0, y0 = y1 - kHelpLineCount * HelpPanel::kLineHeight - 16.0;
    return {x0, y0, x0 + widestLine + 24.0, y1, x0 + 12.0, y1 - 8.0 - HelpPanel::kLineHeight + 4.0};
}

ColourBarPlace colourBarPlace(int width, int height)
{
    return {width - 90.0, width - 70.0, 0.2 * height, 0.8 * height, width - 64.0};
}

double ColourBarPlace::tickY(const ColourBar& bar, int t) const
{
    const double span = static_cast<double>(bar.hi) - bar.lo;
    const double f = span != 0.0 ? (bar.ticks.values[t] - bar.lo) / span : 0.5;
    return y0 + f * (y1 - y0);
}

namespace {

void pushLine(std::vector<Vertex>& lines, const float a[3], const float b[3])
{
    lines.push_back({a[0], a[1], a[2], 255, 255, 255, 255});
    lines.push_back({b[0], b[1], b[2], 255, 255, 255, 255});
}

}  // namespace

ViewTransform::ViewTransform(const Camera& camera, int width, int height)
    : width_(width), height_(height), halfWidth_(0.5 * width), halfHeight_(0.5 * height)
{
    // The look-at rotation: rows side, up, -forward, after moving the eye to the origin.
    double f[3] = {camera.target.x - camera.position.x, camera.target.y - camera.position.y,
                   camera.target.z - camera.position.z};
    const double distance = std::max(std::sqrt(f[0] * f[0] + f[1] * f[1] + f[2] * f[2]), 1e-6);
    for (double& v : f)
        v /= std::max(distance, 1e-300);
    const double up[3] = {camera.up.x, camera.up.y, camera.up.z};
    double s[3] = {f[1] * up[2] - f[2] * up[1], f[2] * up[0] - f[0] * up[2], f[0] * up[1] - f[1] * up[0]};
    const double sl = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
    if (sl > 0.0)
        for (double& v : s)
            v /= sl;
    const double u[3] = {s[1] * f[2] - s[2] * f[1], s[2] * f[0] - s[0] * f[2], s[0] * f[1] - s[1] * f[0]};
    const double eye[3] = {camera.position.x, camera.position.y, camera.position.z};
    const double rows[3][3] = {{s[0], s[1], s[2]}, {u[0], u[1], u[2]}, {-f[0], -f[1], -f[2]}};
    double view[3][4];
    for (int r = 0; r < 3; ++r) {
        view[r][0] = rows[r][0];
        view[r][1] = rows[r][1];
        view[r][2] = rows[r][2];
        view[r][3] = -(rows[r][0] * eye[0] + rows[r][1] * eye[1] + rows[r][2] * eye[2]);
    }

    // The perspective: aperture vertically, the window's aspect, near and far around the target.
    const double zNear = distance * 1e-3, zFar = distance * 1e3;
    const double half = camera.aperture * M_PI / 360.0;
    const double cot = std::cos(half) / std::sin(half);
    const double aspect = static_cast<double>(width) / height;
    const double sx = cot / aspect, sy = cot, a = -(zFar + zNear) / (zFar - zNear),
                 b = -2.0 * zNear * zFar / (zFar - zNear);
    for (int c = 0; c < 4; ++c) {
        m_[c] = sx * view[0][c];
        m_[4 + c] = sy * view[1][c];
        m_[8 + c] = a * view[2][c] + (c == 3 ? b : 0.0);
        m_[12 + c] = -view[2][c];
    }
}

ViewTransform::ScreenPoint ViewTransform::project(double x, double y, double z) const
{
    const Clip c = clip(x, y, z);
    if (c.w == 0.0)
        return {0, 0, false};
    const double depth = 0.5 * (c.z / c.w + 1.0);
    return {windowX(c), windowY(c), depth > 0.0 && depth < 1.0};
}

Rect Annotation::textRect(ViewTransform::ScreenPoint anchor, double dx, double dy, const char* text) const
{
    const double w = (*width_)(text);
    const double push = 0.5 * w * std::fabs(dx) + 0.5 * kTextHeight * std::fabs(dy) + 2.0;
    const double cx = anchor.x + dx * push, cy = anchor.y + dy * push;
    return {cx - 0.5 * w, cy - 0.5 * kTextHeight, cx + 0.5 * w, cy + 0.5 * kTextHeight};
}

void Annotation::addBox(const Box& box, const Labels* labels)
{
    using ScreenPoint = ViewTransform::ScreenPoint;
    const ViewTransform& view = *view_;
    float centre[3];
    double size = 0.0;
    for (int i = 0; i < 3; ++i) {
        centre[i] = 0.5f * (box.lo[i] + box.hi[i]);
        size = std::max(size, static_cast<double>(box.hi[i] - box.lo[i]));
    }
    const double tickLength = 0.03 * (size > 0.0 ? size : 1.0);
    const ScreenPoint c = view.project(centre[0], centre[1], centre[2]);

    for (int a = 0; a < 3; ++a) {
        const int b = (a + 1) % 3, d = (a + 2) % 3;
        // The four edges parallel to axis a, in the order of the option letters B, C, D, E.
        const float side[4][2] = {
            {box.lo[b], box.lo[d]}, {box.hi[b], box.hi[d]}, {box.hi[b], box.lo[d]}, {box.lo[b], box.hi[d]}};
        int best = -1;
        double bestScore = 0.0;
        for (int e = 0; e < 4; ++e) {
            float p[3], q[3];
            p[a] = box.lo[a];
            q[a] = box.hi[a];
            p[b] = q[b] = side[e][0];
            p[d] = q[d] = side[e][1];
            if (box.edge[a][e])
                pushLine(lines_, p, q);
            p[a] = centre[a];
            const ScreenPoint m = view.project(p[0], p[1], p[2]);
            if (!m.visible)
                continue;
            // x labels on the lowest edge, y labels on the leftmost, z labels low on the right.
            const double score = a == 0 ? m.y : a == 1 ? m.x : m.y - m.x;
            if (best < 0 || score < bestScore) {
                best = e;
                bestScore = score;
            }
        }
        if (best < 0 || !c.visible)
            continue;

        // Outward direction from the box's axis through the chosen edge.
        double out[3] = {0, 0, 0};
        out[b] = side[best][0] - centre[b];
        out[d] = side[best][1] - centre[d];
        const double len = std::hypot(out[b], out[d]);
        for (double& o : out)
            o = len > 0.0 ? o / len * tickLength : 0.0;

        float edgeMid[3];
        edgeMid[a] = centre[a];
        edgeMid[b] = side[best][0];
        edgeMid[d] = side[best][1];
        const ScreenPoint m = view.project(edgeMid[0], edgeMid[1], edgeMid[2]);
        double dx = m.x - c.x, dy = m.y - c.y;
        const double dl = std::hypot(dx, dy);
        if (dl > 1e-6) {
            dx /= dl;
            dy /= dl;
        } else {
            dx = 0.0;
            dy = -1.0;
        }

        const TickSet& ts = box.tickSet[a];
        Rect rects[kMaxTicks];
        for (int t = 0; t < ts.count; ++t) {
            float p[3] = {edgeMid[0], edgeMid[1], edgeMid[2]};
            p[a] = box.tickDevice[a][t];
            float q[3] = {p[0] + static_cast<float>(out[0]), p[1] + static_cast<float>(out[1]),
                          p[2] + static_cast<float>(out[2])};
            if (box.ticks[a])
                pushLine(lines_, p, q);
            const ScreenPoint anchor =
                view.project(p[0] + static_cast<float>(2 * out[0]), p[1] + static_cast<float>(2 * out[1]),
                             p[2] + static_cast<float>(2 * out[2]));
            rects[t] = anchor.visible ? textRect(anchor, dx, dy, ts.labels[t]) : Rect{};
        }

        double reach = 0.0;  // how far the tick labels stick out from the edge along (dx, dy)
        if (box.labels[a]) {
            int kept[kMaxTicks];
            const int n = placed_.placeTicks(rects, ts.count, kept);
            for (int k = 0; k < n; ++k) {
                const Rect& r = rects[kept[k]];
                texts_.push_back({r.x0, r.y0 + kTextDescent, ts.labels[kept[k]]});
                reach = std::max(reach, (r.x1 - r.x0) * std::fabs(dx) + (r.y1 - r.y0) * std::fabs(dy));
            }
        }

        if (labels == nullptr || labels->axis[a].empty())
            continue;
        const char* text = labels->axis[a].c_str();
        const ScreenPoint anchor =
            view.project(edgeMid[0] + static_cast<float>(2 * out[0]), edgeMid[1] + static_cast<float>(2 * out[1]),
                         edgeMid[2] + static_cast<float>(2 * out[2]));
        if (!anchor.visible)
            continue;
        const ScreenPoint at = {anchor.x + dx * (reach + 6.0), anchor.y + dy * (reach + 6.0), true};
        const Rect r = placed_.placeAside(textRect(at, dx, dy, text), dx * kTextHeight, dy * kTextHeight, 8);
        if (!r.empty())
            texts_.push_back({r.x0, r.y0 + kTextDescent, text});
    }
}

void Annotation::layoutTitle(const std::string& title)
{
    // One screen line per line of text, centred at the top; placed first so that no axis label
    // runs into it.
    std::size_t lines = 0, start = 0;
    while (start <= title.size()) {
        std::size_t end = title.find('\n', start);
        if (end == std::string::npos)
            end = title.size();
        if (titleLines_.size() <= lines)
            titleLines_.emplace_back();
        titleLines_[lines].assign(title, start, end - start);
        ++lines;
        start = end + 1;
    }
    const double height = view_->height();
    for (std::size_t i = 0; i < lines; ++i) {
        const char* text = titleLines_[i].c_str();
        const double w = (*width_)(text);
        const double x0 = 0.5 * (view_->width() - w),
                     baseline = height - 20.0 - static_cast<double>(i) * (kTextHeight + 6.0);
        placed_.placeAside({x0, baseline - kTextDescent, x0 + w, baseline - kTextDescent + kTextHeight}, 0, 0, 0);
        texts_.push_back({x0, baseline, text});
    }
}

void Annotation::layoutColourBar(const ColourBar& bar)
{
    // The bar's numbers and label take their place before the axis labels so that none runs
    // into them.
    const int width = view_->width();
    const ColourBarPlace place = colourBarPlace(width, view_->height());
    const double x1 = place.x1, y1 = place.y1;
    placed_.placeAside({place.x0, place.y0, x1, y1}, 0, 0, 0);
    for (int t = 0; t < bar.ticks.count; ++t) {
        const double y = place.tickY(bar, t);
        const char* text = bar.ticks.labels[t];
        const double w = (*width_)(text);
        const Rect r = {x1 + 9.0, y - 0.5 * kTextHeight, x1 + 9.0 + w, y + 0.5 * kTextHeight};
        if (placed_.collides(r))
            continue;
        placed_.placeAside(r, 0, 0, 0);
        texts_.push_back({r.x0, r.y0 + kTextDescent, text});
    }
    if (!bar.label.empty()) {
        const char* text = bar.label.c_str();
        const double w = (*width_)(text);
        const double cx = std::min(width - 80.0, width - 4.0 - 0.5 * w);
        const Rect r =
            placed_.placeAside({cx - 0.5 * w, y1 + 8.0, cx + 0.5 * w, y1 + 8.0 + kTextHeight}, 0, kTextHeight, 4);
        if (!r.empty())
            texts_.push_back({r.x0, r.y0 + kTextDescent, text});
    }
}

void Annotation::layout(const Scene& scene, const ViewTransform& view, const TextWidth& width)
{
    view_ = &view;
    width_ = &width;
    placed_.clear();
    lines_.clear();
    texts_.clear();
    const Labels& labels = scene.labels();
    if (labels.set)
        layoutTitle(labels.title);
    const ColourBar& bar = scene.colourBar();
    if (bar.set)
        layoutColourBar(bar);
    const std::vector<Box>& boxes = scene.boxes();
    if (boxes.empty()) {
        if (labels.set) {  // labels without a box go along the viewport box
            Box frame{};
            std::copy(scene.mapping.viewportLo(), scene.mapping.viewportLo() + 3, frame.lo);
            std::copy(scene.mapping.viewportHi(), scene.mapping.viewportHi() + 3, frame.hi);
            addBox(frame, &labels);
        }
    } else {
        for (std::size_t i = 0; i < boxes.size(); ++i)
            addBox(boxes[i], i + 1 == boxes.size() && labels.set ? &labels : nullptr);
    }
}

}  // namespace kestrum::plot
