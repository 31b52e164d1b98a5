// Frames drawn on the CPU for a window on a software GL: which frames need drawing at all, and
// how much of the scene to draw while the picture keeps changing. A frame that shows the same
// scene through the same camera as the last exact picture reuses it; a frame that changed
// draws every k-th point and line segment when drawing all of them would take longer than a
// fraction of a second (judged from the last exact picture, how much more the scene holds now
// and how long the last partial frame took), and the next frame that changes nothing draws them
// all, so the window always comes to rest on the exact picture.
#pragma once

#include "plot/frame.h"
#include "plot/scene.h"

#include <cstdint>

namespace kestrum::plot {

class Refiner {
public:
    // A frame that changed is drawn within about `budget` seconds.
    explicit Refiner(double budget = 0.08) : budget_(budget) {}

    struct Plan {
        bool reuse;  // the last picture is exact and shows this frame
        int every;  // else draw every `every`-th point and segment (1: all of them)
    };
    Plan plan(const Scene& scene, const Camera& camera, int width, int height, const Overlays& overlays);
    // The seconds that drawing the planned frame took.
    void drawn(const Plan& plan, double seconds);

private:
    double budget_;
    std::uint64_t last_ = 0;
    bool exact_ = false;
    double allSeconds_ = 0.0;  // the last time drawing everything took
    double allWork_ = 0.0;  // and the work of the scene it drew (see work())
    double work_ = 0.0;  // the work of the scene of the frame planned last
    double partPerWork_ = 0.0;  // the last partial frame's seconds per unit of work, times its step
};

// A digest of everything that a frame shows: geometry, images, boxes, labels, colour bar,
// camera, window size and overlays.
std::uint64_t frameDigest(const Scene& scene, const Camera& camera, int width, int height, const Overlays& overlays);

}  // namespace kestrum::plot
