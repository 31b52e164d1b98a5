// Core state of the plotting library: mapping, geometry buffers, boxes, labels and camera maths.
#include "plot/scene.h"

#include "plot/threads.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

namespace kestrum::plot {
namespace {

std::uint8_t colourByte(float c)
{
    if (!(c > 0.0f))
        return 0;  // also NaN
    if (c >= 1.0f)
        return 255;
    return static_cast<std::uint8_t>(std::lround(c * 255.0f));
}

Vec3 sub(Vec3 a, Vec3 b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
Vec3 add(Vec3 a, Vec3 b)
{
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec3 mul(Vec3 a, double s)
{
    return {a.x * s, a.y * s, a.z * s};
}
double dot(Vec3 a, Vec3 b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec3 cross(Vec3 a, Vec3 b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double length(Vec3 a)
{
    return std::sqrt(dot(a, a));
}
Vec3 unit(Vec3 a)
{
    const double l = length(a);
    return l > 0.0 ? mul(a, 1.0 / l) : a;
}

// Rodrigues' rotation of v about the unit axis k by angle a.
Vec3 rotate(Vec3 v, Vec3 k, double a)
{
    const double c = std::cos(a), s = std::sin(a);
    return add(add(mul(v, c), mul(cross(k, v), s)), mul(k, dot(k, v) * (1.0 - c)));
}

// Points and lines of at least this many vertices are mapped by several threads.
constexpr std::size_t kThreadedVertices = std::size_t(1) << 17;

// Room for `more` vertices, growing the buffer geometrically so that many small additions cost
// no more than one large one.
void makeRoom(std::vector<Vertex>& v, std::size_t more)
{
    if (v.capacity() - v.size() < more)
        v.reserve(std::max(v.size() + more, 2 * v.capacity()));
}

// Vertices made and digested at a time: a chunk is digested while it is still in the cache.
constexpr std::size_t kDigestChunk = std::size_t(1) << 14;

// Appends the vertices of `items` items to `v` and adds their digest to `digest`: fill(first, last,
// out) writes those of items [first, last) from `out` on and returns the end of what it wrote,
// which may leave some out; place(k) is where item k's would start if none were left out
// (place(items): all of them). Many vertices are shared out to threads by items, each writing from
// its first item's place; the threads' parts are closed up afterwards.
template <typename Place, typename Fill>
void appendInParts(std::vector<Vertex>& v, Digest& digest, std::size_t items, Place place, Fill fill)
{
    const std::size_t base = v.size(), most = place(items);
    makeRoom(v, most);
    v.resize(base + most);
    const unsigned parts = threadsFor(most, kThreadedVertices);
    std::vector<std::size_t> written(parts, 0);
    std::vector<Digest> digests(parts);
    const auto work = [&](unsigned p) {
        const std::size_t last = items * (p + 1) / parts;
        Vertex* const begin = v.data() + base + place(items * p / parts);
        Vertex* out = begin;
        for (std::size_t i = items * p / parts; i < last;) {
            // The chunk: as many items as give at most kDigestChunk vertices, at least one.
            std::size_t j = i + 1, hi = last;
            while (j < hi) {
                const std::size_t mid = j + (hi - j + 1) / 2;
                if (place(mid) - place(i) <= kDigestChunk)
                    j = mid;
                else
                    hi = mid - 1;
            }
            Vertex* const end = fill(i, j, out);
            digests[p].add(out, static_cast<std::size_t>(end - out) * sizeof(Vertex));
            out = end;
            i = j;
        }
        written[p] = static_cast<std::size_t>(out - begin);
    };
    onThreads(parts, work);
    std::size_t end = base + written[0];
    for (unsigned p = 1; p < parts; ++p) {
        Vertex* const from = v.data() + base + place(items * p / parts);
        if (from != v.data() + end)
            std::copy(from, from + written[p], v.data() + end);
        end += written[p];
    }
    v.resize(end);
    for (const Digest& part : digests)
        digest.value(part.result());
}

bool hasLetter(const char* opt, char letter)
{
    return opt != nullptr && std::strchr(opt, letter) != nullptr;
}

}  // namespace

Mapping::Mapping()
{
    for (int i = 0; i < 3; ++i) {
        vpLo_[i] = winLo_[i] = -1.0f;
        vpHi_[i] = winHi_[i] = 1.0f;
    }
    update();
}

void Mapping::setViewport(const float lo[3], const float hi[3])
{
    std::copy(lo, lo + 3, vpLo_);
    std::copy(hi, hi + 3, vpHi_);
    update();
}

void Mapping::setWindow(const float lo[3], const float hi[3])
{
    std::copy(lo, lo + 3, winLo_);
    std::copy(hi, hi + 3, winHi_);
    update();
}

void Mapping::update()
{
    for (int i = 0; i < 3; ++i) {
        const double w = static_cast<double>(winHi_[i]) - winLo_[i];
        if (w != 0.0 && std::isfinite(w)) {
            scale_[i] = (static_cast<double>(vpHi_[i]) - vpLo_[i]) / w;
            offset_[i] = vpLo_[i] - winLo_[i] * scale_[i];
        } else {
            scale_[i] = 0.0;
            offset_[i] = 0.5 * (static_cast<double>(vpLo_[i]) + vpHi_[i]);
        }
    }
}

bool Mapping::toDevice(float x, float y, float z, float out[3]) const
{
    const double d[3] = {x * scale_[0] + offset_[0], y * scale_[1] + offset_[1], z * scale_[2] + offset_[2]};
    for (double v : d)
        if (!(std::fabs(v) <= 3.0e38))
            return false;  // non-finite, or beyond float range
    for (int i = 0; i < 3; ++i)
        out[i] = static_cast<float>(d[i]);
    return true;
}

void Scene::addPoint(float x, float y, float z, float r, float g, float b)
{
    settle();
    float d[3];
    if (!mapping.toDevice(x, y, z, d))
        return;
    points_.push_back({d[0], d[1], d[2], colourByte(r), colourByte(g), colourByte(b), 255});
    geometry().value(points_.back());
}

void Scene::addLine(float x1, float y1, float z1, float x2, float y2, float z2, float r, float g, float b)
{
    settle();
    float a[3], e[3];
    if (!mapping.toDevice(x1, y1, z1, a) || !mapping.toDevice(x2, y2, z2, e))
        return;
    const std::uint8_t R = colourByte(r), G = colourByte(g), B = colourByte(b);
    lines_.push_back({a[0], a[1], a[2], R, G, B, 255});
    lines_.push_back({e[0], e[1], e[2], R, G, B, 255});
    geometry().add(&lines_[lines_.size() - 2], 2 * sizeof(Vertex));
}

void Scene::addPoints(std::size_t n, const float* x, const float* y, const float* z, const float* rgb, float r, float g,
                      float b)
{
    settle();
    const std::uint8_t R = colourByte(r), G = colourByte(g), B = colourByte(b);
    appendInParts(
        points_, geometry(), n, [](std::size_t k) { return k; },
        [&](std::size_t first, std::size_t last, Vertex* out) {
            for (std::size_t i = first; i < last; ++i) {
                float d[3];
                if (!mapping.toDevice(x[i], y[i], z[i], d))
                    continue;
                if (rgb == nullptr)
                    *out++ = {d[0], d[1], d[2], R, G, B, 255};
                else
                    *out++ = {d[0],
                              d[1],
                              d[2],
                              colourByte(rgb[3 * i]),
                              colourByte(rgb[3 * i + 1]),
                              colourByte(rgb[3 * i + 2]),
                              255};
            }
            return out;
        });
}

void Scene::addPolyline(std::size_t n, const float* x, const float* y, const float* z, const float* rgb, float r,
                        float g, float b)
{
    const std::size_t start[2] = {0, n};
    addPolylines(1, start, x, y, z, rgb, r, g, b);
}

void Scene::addPolylines(std::size_t runs, const std::size_t* start, const float* x, const float* y, const float* z,
                         const float* rgb, float r, float g, float b)
{
    settle();
    // Each line's segments have their place after those of the lines before it; a point that does
    // not map leaves out the segments it ends.
    std::vector<std::size_t> place(runs + 1, 0);
    for (std::size_t k = 0; k < runs; ++k)
        place[k + 1] = place[k] + 2 * (start[k + 1] - start[k] > 1 ? start[k + 1] - start[k] - 1 : 0);
    const std::uint8_t R = colourByte(r), G = colourByte(g), B = colourByte(b);
    appendInParts(
        lines_, geometry(), runs, [&](std::size_t k) { return place[k]; },
        [&](std::size_t first, std::size_t last, Vertex* out) {
            for (std::size_t k = first; k < last; ++k) {
                float a[3] = {0, 0, 0};
                bool mapped = start[k] < start[k + 1] && mapping.toDevice(x[start[k]], y[start[k]], z[start[k]], a);
                for (std::size_t i = start[k] + 1; i < start[k + 1]; ++i) {
                    float e[3];
                    const bool next = mapping.toDevice(x[i], y[i], z[i], e);
                    if (mapped && next) {
                        const float* c = rgb != nullptr ? rgb + 3 * (i - 1) : nullptr;
                        const std::uint8_t C[3] = {c != nullptr ? colourByte(c[0]) : R,
                                                   c != nullptr ? colourByte(c[1]) : G,
                                                   c != nullptr ? colourByte(c[2]) : B};
                        *out++ = {a[0], a[1], a[2], C[0], C[1], C[2], 255};
                        *out++ = {e[0], e[1], e[2], C[0], C[1], C[2], 255};
                    }
                    if (next)
                        std::copy(e, e + 3, a);
                    mapped = next;
                }
            }
            return out;
        });
}

void Scene::addBox(const char* opt[3], const float step[3])
{
    Box& box = boxes_.emplace_back();
    const char edgeLetters[4] = {'B', 'C', 'D', 'E'};
    for (int a = 0; a < 3; ++a) {
        const float w[2] = {mapping.windowLo()[a], mapping.windowHi()[a]};
        float d[2];
        for (int k = 0; k < 2; ++k) {
            float p[3] = {0, 0, 0}, q[3];
            p[a] = w[k];
            d[k] = mapping.toDevice(p[0], p[1], p[2], q) ? q[a] : 0.0f;
        }
        box.lo[a] = std::min(d[0], d[1]);
        box.hi[a] = std::max(d[0], d[1]);
        for (int e = 0; e < 4; ++e)
            box.edge[a][e] = hasLetter(opt[a], edgeLetters[e]);
        box.ticks[a] = hasLetter(opt[a], 'T');
        box.labels[a] = hasLetter(opt[a], 'N') || hasLetter(opt[a], 'M');
        TickSet& ts = box.tickSet[a];
        chooseTicks(w[0], w[1], step[a], ts);
        for (int t = 0; t < ts.count; ++t) {
            float p[3] = {0, 0, 0}, q[3];
            p[a] = static_cast<float>(ts.values[t]);
            box.tickDevice[a][t] = mapping.toDevice(p[0], p[1], p[2], q) ? q[a] : 0.5f * (box.lo[a] + box.hi[a]);
        }
    }
}

void Scene::setLabels(const char* x, const char* y, const char* z, const char* title)
{
    Labels& l = inFrame_ ? frameLabels_ : staticLabels_;
    l.set = true;
    l.axis[0] = x ? x : "";
    l.axis[1] = y ? y : "";
    l.axis[2] = z ? z : "";
    l.title = title ? title : "";
}

void Scene::addImage(int nx, int ny, const std::uint8_t* rgb, float x1, float x2, float y1, float y2, float z)
{
    float p0[3], p1[3];
    if (nx < 1 || ny < 1 || rgb == nullptr || !mapping.toDevice(x1, y1, z, p0) || !mapping.toDevice(x2, y2, z, p1))
        return;
    if (imageCount_ == images_.size())
        images_.emplace_back();
    Image& im = images_[imageCount_++];
    std::copy(p0, p0 + 3, im.p0);
    std::copy(p1, p1 + 3, im.p1);
    const std::size_t bytes = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny) * 3;
    if (im.nx == nx && im.ny == ny && std::memcmp(im.rgb.data(), rgb, bytes) == 0)
        return;
    im.nx = nx;
    im.ny = ny;
    im.rgb.assign(rgb, rgb + bytes);
    im.generation = nextGeneration_++;
}

void Scene::setColourBar(int n, const std::uint8_t* rgb, float lo, float hi, const char* label)
{
    ColourBar& bar = inFrame_ ? frameBar_ : staticBar_;
    bar.set = n >= 1 && rgb != nullptr;
    if (!bar.set) {
        bar.rgb.clear();
        return;
    }
    bar.rgb.assign(rgb, rgb + static_cast<std::size_t>(n) * 3);
    bar.lo = lo;
    bar.hi = hi;
    bar.label = label ? label : "";
    chooseTicks(lo, hi, 0.0, bar.ticks);
}

void Scene::beginFrame()
{
    beginKeepableFrame();
    settle();
}

void Scene::beginKeepableFrame()
{
    if (!inFrame_) {
        staticPoints_ = points_.size();
        staticLines_ = lines_.size();
        staticBoxes_ = boxes_.size();
        staticImages_ = imageCount_;
        inFrame_ = true;
    }
    assert(points_.size() >= staticPoints_ && lines_.size() >= staticLines_);
    keepable_ = true;
    boxes_.resize(staticBoxes_);
    imageCount_ = staticImages_;
    frameLabels_.set = false;
    frameBar_.set = false;
}

bool Scene::keepGeometry()
{
    const bool kept = keepable_;
    keepable_ = false;
    return kept;
}

void Scene::endCallback()
{
    settle();
}

void Scene::settle()
{
    if (!keepable_)
        return;
    keepable_ = false;
    points_.resize(staticPoints_);
    lines_.resize(staticLines_);
    frameGeometry_ = Digest{};
}

std::uint64_t Scene::geometryDigest() const
{
    Digest d;
    d.value(staticGeometry_.result());
    d.value(frameGeometry_.result());
    return d.result();
}

Camera homeCamera(const float lo[3], const float hi[3], double aspect)
{
    Camera c;
    c.target = {0.5 * (lo[0] + hi[0]), 0.5 * (lo[1] + hi[1]), 0.5 * (lo[2] + hi[2])};
    const Vec3 half = {0.5 * std::fabs(hi[0] - lo[0]), 0.5 * std::fabs(hi[1] - lo[1]), 0.5 * std::fabs(hi[2] - lo[2])};
    double radius = length(half);
    if (!(radius > 0.0) || !std::isfinite(radius))
        radius = 1.0;
    // The narrower of the two fields of view must hold the sphere around the box.
    const double halfV = c.aperture * M_PI / 360.0;
    const double halfH = std::atan(std::tan(halfV) * (aspect > 0.0 ? aspect : 1.0));
    const double distance = radius / std::sin(std::min(halfV, halfH));
    c.position = {c.target.x, c.target.y, c.target.z + distance};
    c.up = {0.0, 1.0, 0.0};
    return c;
}

void orbit(Camera& camera, double right, double up)
{
    Vec3 offset = sub(camera.position, camera.target);
    const Vec3 upAxis = unit(camera.up);
    // The scene turning right is the camera turning left about the up axis.
    offset = rotate(offset, upAxis, -right);
    const Vec3 side = unit(cross(mul(offset, -1.0), upAxis));
    // The scene turning up is the camera turning down: about the side axis by +up.
    offset = rotate(offset, side, up);
    camera.up = unit(rotate(upAxis, side, up));
    camera.position = add(camera.target, offset);
}

void zoom(Camera& camera, double factor)
{
    const Vec3 offset = sub(camera.position, camera.target);
    const double d = length(offset);
    const double nd = std::clamp(d * factor, 1e-3, 1e6);
    if (d > 0.0)
        camera.position = add(camera.target, mul(offset, nd / d));
}

}  // namespace kestrum::plot
