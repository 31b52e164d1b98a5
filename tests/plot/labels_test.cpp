// Overlap-free label placement: tick labels thinned along an axis, labels that cannot be shown,
// an axis seen end-on, and labels pushed aside or left where they belong.
#include "plot/labels.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace kestrum::plot {
namespace {

// n labels of width w and height 12 whose left edges step by `step` pixels along x.
std::vector<Rect> row(int n, double step, double w)
{
    std::vector<Rect> r;
    for (int i = 0; i < n; ++i)
        r.push_back({i * step, 0, i * step + w, 12});
    return r;
}

void expectNoOverlaps(const LabelLayout& l)
{
    const auto& p = l.placed();
    for (std::size_t i = 0; i < p.size(); ++i)
        for (std::size_t j = i + 1; j < p.size(); ++j)
            EXPECT_FALSE(overlap(p[i], p[j])) << i << " and " << j;
}

std::vector<int> ticks(LabelLayout& l, const std::vector<Rect>& r)
{
    std::vector<int> kept(r.size());
    kept.resize(static_cast<std::size_t>(l.placeTicks(r.data(), static_cast<int>(r.size()), kept.data())));
    return kept;
}

TEST(Labels, TickLabelsAreKeptThinnedToEveryNthOrSkipped)
{
    std::vector<Rect> gap = row(4, 50, 20);
    gap[0] = Rect{};  // an empty rect is skipped
    const std::pair<std::vector<Rect>, std::vector<int>> cases[] = {
        {row(6, 50, 20), {0, 1, 2, 3, 4, 5}},  // spacious: all kept
        {row(7, 15, 40), {0, 3, 6}},  // 40 wide, 15 apart: every third
        {std::vector<Rect>(9, Rect{100, 100, 130, 112}), {0}},  // an axis seen end-on keeps one
        {gap, {1, 2, 3}},
    };
    for (const auto& [rects, kept] : cases) {
        LabelLayout l;
        EXPECT_EQ(ticks(l, rects), kept);
        expectNoOverlaps(l);
    }
    LabelLayout l;
    EXPECT_EQ(l.placeTicks(nullptr, 0, nullptr), 0);
}

TEST(Labels, LaterAxesAvoidEarlierLabels)
{
    LabelLayout l;
    ticks(l, row(5, 50, 30));  // x labels along y = 0 .. 12
    std::vector<Rect> y;
    for (int i = 0; i < 5; ++i)
        y.push_back({0, i * 10.0, 20, i * 10.0 + 12});  // starts on top of x's first label
    const std::vector<int> kept = ticks(l, y);
    ASSERT_FALSE(kept.empty());
    EXPECT_NE(kept.front(), 0);
    expectNoOverlaps(l);
}

TEST(Labels, PlaceAsideMovesUntilClearOrStaysWhereItBelongs)
{
    LabelLayout l;
    l.placeAside({0, 0, 100, 12}, 0, 0, 0);
    const Rect moved = l.placeAside({10, 0, 60, 12}, 0, -12, 3);
    EXPECT_DOUBLE_EQ(moved.y0, -12);
    const Rect crowded = l.placeAside({10, 0, 60, 12}, 0, 1, 3);  // three small steps are not enough
    EXPECT_DOUBLE_EQ(crowded.y0, 0);
    EXPECT_EQ(l.placed().size(), 3u);
    l.clear();
    EXPECT_TRUE(l.placed().empty());
}

}  // namespace
}  // namespace kestrum::plot
