// The three axis labels in every turned view of the viewer's box.
#include "plot/frame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace kestrum::plot {
namespace {

struct EightPixelFont : TextWidth {
    double operator()(const char* text) const override { return 8.0 * static_cast<double>(std::strlen(text)); }
};

TEST(AxisLabels, AllThreeAreDrawnInEveryTurnedView)
{
    Scene scene;
    const float lo[3] = {-1, -1, -1}, hi[3] = {1, 1, 1}, wlo[3] = {0, -50, 0}, whi[3] = {255, 50, 4};
    scene.mapping.setViewport(lo, hi);
    scene.mapping.setWindow(wlo, whi);
    const char* opt[3] = {"BCDETMNOPQ", "BCDETMNOPQ", "BCDETMNOPQ"};
    const float step[3] = {0, 0, 0};
    scene.addBox(opt, step);
    scene.setLabels("Channel", "Amplitude", "time", "Source: 3c286 (Amplitudes); Baseline (1-2)\nMedian tcal OFF");
    Annotation annotation;
    // Window heights and zooms at which some views crowd a label off all its nearby places.
    for (const auto& [height, zoomed] : {std::pair{300, 0.5}, {800, 0.7}, {600, 1.0}}) {
        Camera camera = homeCamera(lo, hi, 4.0 / 3.0);
        zoom(camera, zoomed);
        for (int turn = 0; turn < 36 * 36; ++turn) {
            orbit(camera, turn % 36 ? 0.0 : M_PI / 18, M_PI / 18);
            annotation.layout(scene, ViewTransform(camera, height * 4 / 3, height), EightPixelFont());
            std::string drawn;
            for (const PlacedText& t : annotation.texts())
                drawn += std::string("|") + t.text;
            for (const char* label : {"|Channel", "|Amplitude", "|time"})
                EXPECT_NE(drawn.find(label), std::string::npos) << label << ", view " << turn << " at " << height;
        }
    }
}

}  // namespace
}  // namespace kestrum::plot
