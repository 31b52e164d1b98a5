// The CPU rasteriser without a window: lines drawn by several threads in bands of rows.
#include "plot/raster.h"

#include <gtest/gtest.h>

#include <random>

namespace kestrum::plot {
namespace {

// A scene of many segments is drawn in bands; its parts below that size are drawn by one thread.
// Laid over each other in order (a later part's lit pixels over an earlier one's; no segment is
// black), the parts give the whole picture.
TEST(Raster, LinesDrawnInBandsEqualTheLinesDrawnInOrder)
{
    constexpr size_t kPoints = 60001, kPart = 15000;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float> x(kPoints), y(kPoints), z(kPoints), rgb(3 * kPoints);
    for (size_t i = 0; i < kPoints; ++i) {
        x[i] = u(rng), y[i] = u(rng), z[i] = u(rng);
        for (int k = 0; k < 3; ++k)
            rgb[3 * i + k] = 0.1f + 0.9f * std::abs(u(rng));
    }
    const float lo[3] = {-1, -1, -1}, hi[3] = {1, 1, 1};
    Raster raster;
    const auto draw = [&](size_t first, size_t n) {
        Scene scene;
        scene.mapping.setViewport(lo, hi);
        scene.mapping.setWindow(lo, hi);
        scene.addPolyline(n, &x[first], &y[first], &z[first], &rgb[3 * first], 1, 1, 1);
        return raster.draw(scene, homeCamera(lo, hi, 1.5), 300, 200, Overlays{});
    };
    const std::vector<unsigned char> whole = draw(0, kPoints);
    std::vector<unsigned char> laid(whole.size(), 0);
    for (size_t first = 0; first + 1 < kPoints; first += kPart) {
        const std::vector<unsigned char> part = draw(first, kPart + 1);
        for (size_t p = 0; p < part.size(); p += 3)
            if (part[p] != 0 || part[p + 1] != 0 || part[p + 2] != 0)
                std::copy_n(&part[p], 3, &laid[p]);
    }
    EXPECT_EQ(laid, whole);
    EXPECT_GT(std::count_if(whole.begin(), whole.end(), [](unsigned char c) { return c != 0; }), 30000);
}

}  // namespace
}  // namespace kestrum::plot
