// Placement of text labels in window coordinates so that no two overlap: tick labels are
// thinned to every n-th along their axis, other labels are pushed aside.
#pragma once

#include <vector>

namespace kestrum::plot {

// A label's box in window pixels; empty (x1 <= x0) for a label that cannot be shown.
struct Rect {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool empty() const { return x1 <= x0 || y1 <= y0; }
};

bool overlap(const Rect& a, const Rect& b);

// The labels placed in one frame. Everything placed is free of overlaps with everything placed
// before it, except a label that placeAside found no clear place for.
class LabelLayout {
public:
    void clear() { placed_.clear(); }

    // Tick labels of one axis, in axis order: keeps every stride-th one, with the smallest stride
    // at which neighbours do not overlap, and of those the ones clear of earlier labels. Writes
    // the indices kept to `kept` (room for n) and returns their number.
    int placeTicks(const Rect* rects, int n, int* kept);

    // Places `r`, moved by (dx, dy) up to `tries` times while it overlaps an earlier label; when
    // it never comes clear it is placed where it started, overlapping, so that it is still shown.
    Rect placeAside(Rect r, double dx, double dy, int tries);

    bool collides(const Rect& r) const;
    const std::vector<Rect>& placed() const { return placed_; }

private:
    std::vector<Rect> placed_;
};

}  // namespace kestrum::plot
