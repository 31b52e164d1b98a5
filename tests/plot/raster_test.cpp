// The CPU rasteriser without a window: many lines mapped and drawn by several threads.
#include "plot/raster.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace kestrum::plot {
namespace {

// Lines mapped and drawn by threads (one point does not map) equal groups small enough for one
// thread, laid over each other in order (later lit pixels over earlier; no segment is black).
TEST(Raster, ManyLinesDrawnByThreadsEqualTheLinesDrawnInOrder)
{
    constexpr size_t kPoints = 120000, kRun = 1000, kGroup = 15;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float> x(kPoints), y(kPoints), z(kPoints), rgb(3 * kPoints);
    for (size_t i = 0; i < kPoints; ++i)
        x[i] = u(rng), y[i] = u(rng), z[i] = u(rng);
    std::generate(rgb.begin(), rgb.end(), [&] { return 0.1f + 0.9f * std::abs(u(rng)); });
    y[20500] = NAN;
    std::vector<size_t> start(kPoints / kRun + 1);
    std::generate(start.begin(), start.end(), [s = size_t(0)]() mutable { return (s += kRun) - kRun; });
    const float lo[3] = {-1, -1, -1}, hi[3] = {1, 1, 1};
    Raster raster;
    std::vector<Vertex> vertices[2];  // of all the lines, of the groups one after the other
    const auto draw = [&](size_t first, size_t runs) {
        Scene scene;
        scene.mapping.setViewport(lo, hi);
        scene.mapping.setWindow(lo, hi);
        scene.addPolylines(runs, &start[first], x.data(), y.data(), z.data(), rgb.data(), 1, 1, 1);
        std::vector<Vertex>& into = vertices[first != 0 || runs != kPoints / kRun];
        into.insert(into.end(), scene.lines().begin(), scene.lines().end());
        return raster.draw(scene, homeCamera(lo, hi, 1.5), 300, 200, Overlays{});
    };
    const std::vector<unsigned char> whole = draw(0, kPoints / kRun);
    std::vector<unsigned char> laid(whole.size(), 0);
    for (size_t first = 0; first + 1 < start.size(); first += kGroup) {
        const std::vector<unsigned char> part = draw(first, kGroup);
        for (size_t p = 0; p < part.size(); p += 3)
            if (part[p] != 0 || part[p + 1] != 0 || part[p + 2] != 0)
                std::copy_n(&part[p], 3, &laid[p]);
    }
    EXPECT_EQ(laid, whole);
    EXPECT_TRUE(vertices[0].size() == vertices[1].size() &&
                std::memcmp(vertices[0].data(), vertices[1].data(), vertices[0].size() * sizeof(Vertex)) == 0);
}

}  // namespace
}  // namespace kestrum::plot
