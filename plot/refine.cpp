// Progressive refinement of CPU-drawn frames, and the digest that tells a changed frame.
#include "plot/refine.h"

#include "plot/digest.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace kestrum::plot {
namespace {

// What drawing a scene's points and lines costs, in points: a segment sets several pixels, and
// its ends are both projected.
double work(const Scene& scene)
{
    return static_cast<double>(scene.points().size()) + 4.0 * static_cast<double>(scene.lines().size());
}

// Seconds for a unit of work until a picture of at least kTimedWork has been timed: about what
// a window on a software GL takes.
constexpr double kSecondsPerWork = 2e-8;
constexpr double kTimedWork = 1e5;
// A partial frame draws at least one in this many times as much as the whole's time asks for.
constexpr double kMostThinner = 4.0;

}  // namespace

std::uint64_t frameDigest(const Scene& scene, const Camera& camera, int width, int height, const Overlays& overlays)
{
    Digest d;
    d.value(scene.geometryDigest());
    for (const Box& box : scene.boxes()) {
        d.add(box.lo, sizeof box.lo);
        d.add(box.hi, sizeof box.hi);
        d.add(box.edge, sizeof box.edge);
        d.add(box.ticks, sizeof box.ticks);
        d.add(box.labels, sizeof box.labels);
        for (int a = 0; a < 3; ++a) {
            const TickSet& t = box.tickSet[a];
            d.value(t.count);
            d.add(t.values, sizeof(double) * static_cast<std::size_t>(t.count));
            d.add(box.tickDevice[a], sizeof(float) * static_cast<std::size_t>(t.count));
            for (int k = 0; k < t.count; ++k)
                d.add(t.labels[k], std::strlen(t.labels[k]));
        }
    }
    d.value(scene.imageCount());
    for (std::size_t k = 0; k < scene.imageCount(); ++k)
        d.value(scene.images()[k].generation);
    const Labels& labels = scene.labels();
    d.value(labels.set);
    for (const std::string& s : labels.axis)
        d.add(s);
    d.add(labels.title);
    const ColourBar& bar = scene.colourBar();
    d.value(bar.set);
    d.add(bar.rgb);
    d.value(bar.lo);
    d.value(bar.hi);
    d.add(bar.label);
    const double view[] = {camera.position.x, camera.position.y, camera.position.z, camera.target.x,
                           camera.target.y,   camera.target.z,   camera.up.x,       camera.up.y,
                           camera.up.z,       camera.aperture,   overlays.fade};
    d.add(view, sizeof view);
    const int size[] = {width, height, overlays.help ? 1 : 0};
    d.add(size, sizeof size);
    return d.result();
}

Refiner::Plan Refiner::plan(const Scene& scene, const Camera& camera, int width, int height, const Overlays& overlays)
{
    const std::uint64_t now = frameDigest(scene, camera, width, height, overlays);
    const bool changed = now != last_;
    last_ = now;
    work_ = work(scene);
    if (!changed && exact_)
        return {true, 1};
    // The time of the last exact picture, or more when this scene holds more work: at that
    // picture's cost per unit of work when it held enough to tell.
    const double perWork = allWork_ >= kTimedWork ? allSeconds_ / allWork_ : kSecondsPerWork;
    const double all = work_ > allWork_ ? std::max(allSeconds_, work_ * perWork) : allSeconds_;
    if (!(changed && all > budget_))
        return {false, 1};
    // Drawing part of the scene costs more than its share of the whole (every segment of the part
    // has both ends projected, and the bands each walk it): the last partial frame's time per
    // unit of work drawn raises the step until such a frame fits the budget, up to kMostThinner
    // times the step the whole's time gives.
    double every = std::ceil(all / budget_);
    if (partPerWork_ > 0.0)
        every = std::clamp(std::ceil(work_ * partPerWork_ / budget_), every, kMostThinner * every);
    return {false, static_cast<int>(std::min(every, 1e9))};
}

void Refiner::drawn(const Plan& plan, double seconds)
{
    exact_ = plan.every == 1;
    if (exact_) {
        allSeconds_ = seconds;
        allWork_ = work_;
    } else if (work_ >= kTimedWork) {
        partPerWork_ = seconds * plan.every / work_;
    }
}

}  // namespace kestrum::plot
