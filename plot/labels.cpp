// Overlap-free label placement.
#include "plot/labels.h"

#include <algorithm>

namespace kestrum::plot {

bool overlap(const Rect& a, const Rect& b)
{
    return !a.empty() && !b.empty() && a.x0 < b.x1 && b.x0 < a.x1 && a.y0 < b.y1 && b.y0 < a.y1;
}

bool LabelLayout::collides(const Rect& r) const
{
    return std::any_of(placed_.begin(), placed_.end(), [&](const Rect& p) { return overlap(r, p); });
}

int LabelLayout::placeTicks(const Rect* rects, int n, int* kept)
{
    int stride = 1;
    for (; stride < n; ++stride) {
        bool clear = true;
        for (int t = stride; t < n && clear; t += stride)
            clear = !overlap(rects[t - stride], rects[t]);
        if (clear)
            break;
    }
    int count = 0;
    for (int t = 0; t < n; t += stride) {
        if (rects[t].empty() || collides(rects[t]))
            continue;
        placed_.push_back(rects[t]);
        kept[count++] = t;
    }
    return count;
}

Rect LabelLayout::placeAside(Rect r, double dx, double dy, int tries)
{
    const Rect first = r;
    for (int i = 0; i <= tries; ++i) {
        if (!collides(r)) {
            placed_.push_back(r);
            return r;
        }
        r.x0 += dx;
        r.x1 += dx;
        r.y0 += dy;
        r.y1 += dy;
    }
    // No place nearby is clear: a label that names something is shown all the same, where it
    // belongs.
    placed_.push_back(first);
    return first;
}

}  // namespace kestrum::plot
