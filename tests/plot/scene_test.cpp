// The plotting core without a window: world-to-device mapping, static and per-frame geometry,
// the camera, and the keyboard dispatch between the caller's callback and the library.
#include "plot/scene.h"
#include "plot/session.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <tuple>

namespace kestrum::plot {
namespace {

const float kCubeLo[3] = {-1, -1, -1}, kCubeHi[3] = {1, 1, 1};

void setWindow(Mapping& m, float x1, float x2, float y1, float y2, float z1, float z2)
{
    const float lo[3] = {x1, y1, z1}, hi[3] = {x2, y2, z2};
    m.setWindow(lo, hi);
}

// Window faces onto viewport faces linearly, without clipping; a reversed window puts its first
// value on the low face; an axis without width maps everything to the viewport's middle;
// positions that are not finite, or overflow, are refused and leave the output alone.
TEST(Mapping, WorldPositionsToDevicePositions)
{
    const float no = NAN;
    const struct {
        std::array<float, 6> window;  // x1 x2 y1 y2 z1 z2
        std::array<float, 3> world, device;  // device NAN: refused
    } cases[] = {
        {{0, 100, -50, 50, 0, 10}, {0, -50, 0}, {-1, -1, -1}},
        {{0, 100, -50, 50, 0, 10}, {100, 50, 10}, {1, 1, 1}},
        {{0, 100, -50, 50, 0, 10}, {25, 0, 7.5}, {-0.5, 0, 0.5}},
        {{0, 100, -50, 50, 0, 10}, {200, -150, -10}, {3, -3, -3}},
        {{10, -10, 1, 3, 5, 5}, {10, 3, 5}, {-1, 1, 0}},
        {{10, -10, 1, 3, 5, 5}, {-10, 1, 5}, {1, -1, 0}},
        {{0, 10, 3, 3, 0, 0}, {5, 1e30f, -7}, {0, 0, 0}},
        {{0, 1e-30f, 0, 1, 0, 1}, {no, 0, 0}, {no, no, no}},
        {{0, 1e-30f, 0, 1, 0, 1}, {0, INFINITY, 0}, {no, no, no}},
        {{0, 1e-30f, 0, 1, 0, 1}, {1e30f, 0, 0}, {no, no, no}},  // 2e60 is no float
    };
    for (const auto& c : cases) {
        Mapping m;
        const auto& w = c.window;
        setWindow(m, w[0], w[1], w[2], w[3], w[4], w[5]);
        float d[3] = {7, 7, 7};
        const bool mapped = m.toDevice(c.world[0], c.world[1], c.world[2], d);
        EXPECT_EQ(mapped, !std::isnan(c.device[0])) << c.world[0] << "," << c.world[1] << "," << c.world[2];
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(d[k], mapped ? c.device[k] : 7.0f, 1e-6) << c.world[0] << "," << c.world[1] << " axis " << k;
    }
}

TEST(Scene, FrameGeometryLastsOneFrameStaticGeometryStays)
{
    Scene s;
    s.addPoint(0, 0, 0, -1, 0.5f, 7);  // colours clamped to bytes
    s.addLine(0, 0, 0, 1, 1, 1, 1, 0, 0);
    s.beginFrame();
    s.addPoint(0.5f, 0.5f, 0.5f, NAN, 1, 1);
    s.addPoint(NAN, 0, 0, 1, 1, 1);  // dropped
    EXPECT_EQ(s.points().size(), 2u);
    EXPECT_EQ(s.points()[1].r, 0);
    EXPECT_EQ(s.lines().size(), 2u);
    s.beginFrame();
    EXPECT_EQ(s.points().size(), 1u);
    EXPECT_EQ(s.points()[0].x, 0.0f);
    EXPECT_EQ(std::make_tuple(s.points()[0].r, s.points()[0].g, s.points()[0].b), std::make_tuple(0, 128, 255));
    const Vertex& l = s.lines()[1];
    EXPECT_EQ(l.r, 255);
    EXPECT_EQ(l.g, 0);
}

// A keepable frame keeps the last frame's points and lines only when asked before it draws any,
// and then leaves their digest alone; otherwise they go as in any frame.
TEST(Scene, KeepableFrameKeepsTheLastGeometryOnlyWhenAsked)
{
    Scene s;
    s.addPoint(0, 0, 0, 1, 1, 1);
    s.beginKeepableFrame();
    s.addLine(0, 0, 0, 1, 1, 1, 1, 0, 0);
    s.endCallback();
    const std::uint64_t drawn = s.geometryDigest();
    s.beginKeepableFrame();
    EXPECT_TRUE(s.keepGeometry());
    s.endCallback();
    EXPECT_EQ(std::make_tuple(s.points().size(), s.lines().size(), s.geometryDigest()),
              std::make_tuple(size_t(1), size_t(2), drawn));
    s.beginKeepableFrame();
    s.endCallback();  // nothing drawn, nothing kept
    EXPECT_EQ(std::make_tuple(s.points().size(), s.lines().size()), std::make_tuple(size_t(1), size_t(0)));
    EXPECT_NE(s.geometryDigest(), drawn);
    s.beginKeepableFrame();
    s.addPoint(1, 1, 1, 1, 1, 1);
    EXPECT_FALSE(s.keepGeometry()) << "too late: the frame drew already";
    s.beginFrame();
    EXPECT_FALSE(s.keepGeometry()) << "not a keepable frame";
    EXPECT_EQ(s.points().size(), 1u);
}

TEST(Scene, BoxFollowsTheWorldWindowEvenWhenItIsFlat)
{
    Scene s;
    setWindow(s.mapping, 0, 100, 5, 5, 10, 0);
    const char* opt[3] = {"BCDETMNOPQ", "BCDETMNOPQ", "BCDETMNOPQ"};
    const float step[3] = {0, 0, 0};
    s.addBox(opt, step);
    ASSERT_EQ(s.boxes().size(), 1u);
    const Box& b = s.boxes()[0];
    EXPECT_EQ(std::to_array(b.lo), (std::array<float, 3>{-1, 0, -1}));
    EXPECT_EQ(std::to_array(b.hi), (std::array<float, 3>{1, 0, 1}));
    for (int a = 0; a < 3; ++a) {
        EXPECT_TRUE(b.ticks[a] && b.labels[a]);
        for (int e = 0; e < 4; ++e)
            EXPECT_TRUE(b.edge[a][e]);
    }
    EXPECT_EQ(b.tickSet[1].count, 1);
    EXPECT_EQ(std::string(b.tickSet[1].labels[0]), "5");
    ASSERT_EQ(b.tickSet[0].count, 6);
    EXPECT_FLOAT_EQ(b.tickDevice[0][1], -0.6f);  // tick 20
    EXPECT_FLOAT_EQ(b.tickDevice[2][0], 1.0f);  // z tick 0 sits on the high face: z1 = 10
}

TEST(Scene, LabelsDrawnInAFrameReplaceTheStaticOnesForThatFrame)
{
    Scene s;
    s.setLabels("x", "y", "z", "static");
    s.beginFrame();
    EXPECT_EQ(s.labels().title, "static");
    s.setLabels("Channel", "Amplitude", "time", "one\ntwo");
    EXPECT_EQ(s.labels().title, "one\ntwo");
    s.beginFrame();
    EXPECT_EQ(s.labels().title, "static");
}

double distance(const Vec3& a, const Vec3& b)
{
    return std::hypot(a.x - b.x, a.y - b.y, a.z - b.z);
}

TEST(Scene, ImagesKeepTheirGenerationWhileUnchangedAndLastOneFrame)
{
    Scene scene;
    setWindow(scene.mapping, 0, 100, -50, 50, 0, 10);
    std::uint8_t rgb[2 * 3 * 3] = {};
    scene.beginFrame();
    scene.addImage(2, 3, rgb, 0, 100, 50, -50, 5);
    ASSERT_EQ(scene.imageCount(), 1u);
    const Image& im = scene.images()[0];
    EXPECT_EQ((std::array<float, 3>{im.p0[0], im.p0[1], im.p0[2]}), (std::array<float, 3>{-1, 1, 0}));
    EXPECT_EQ((std::array<float, 3>{im.p1[0], im.p1[1], im.p1[2]}), (std::array<float, 3>{1, -1, 0}));
    const std::uint64_t first = im.generation;
    scene.beginFrame();
    EXPECT_EQ(scene.imageCount(), 0u);
    scene.addImage(2, 3, rgb, 0, 100, 50, -50, 5);
    EXPECT_EQ(scene.images()[0].generation, first) << "the same cells again";
    rgb[17] = 1;
    scene.beginFrame();
    scene.addImage(2, 3, rgb, 0, 100, 50, -50, 5);
    EXPECT_NE(scene.images()[0].generation, first);
    EXPECT_EQ(scene.images()[0].rgb[17], 1);
    scene.addImage(0, 3, rgb, 0, 100, 50, -50, 5);
    scene.addImage(2, 3, rgb, NAN, 100, 50, -50, 5);
    EXPECT_EQ(scene.imageCount(), 1u) << "empty or unmappable images are left out";
}

TEST(Camera, HomeLooksAtTheBoxCentreFromPlusZWithTheWholeBoxInView)
{
    const Camera c = homeCamera(kCubeLo, kCubeHi, 800.0 / 600.0);
    EXPECT_EQ(c.aperture, 45.0);
    EXPECT_DOUBLE_EQ(c.target.x, 0);
    EXPECT_DOUBLE_EQ(c.target.z, 0);
    EXPECT_DOUBLE_EQ(c.position.x, 0);
    EXPECT_GT(c.position.z, 0);
    EXPECT_DOUBLE_EQ(c.up.y, 1);
    // The sphere around the box fits in the vertical half-angle of 22.5 degrees.
    EXPECT_NEAR(std::asin(std::sqrt(3.0) / c.position.z), 22.5 * M_PI / 180.0, 1e-9);
    // A tall narrow window needs more distance.
    EXPECT_GT(homeCamera(kCubeLo, kCubeHi, 0.5).position.z, c.position.z);
    // A flat or empty box still gives a usable camera.
    const float p[3] = {0, 0, 0};
    const Camera flat = homeCamera(p, p, 1.0);
    EXPECT_TRUE(std::isfinite(flat.position.z) && flat.position.z > 0);
}

TEST(Camera, OrbitKeepsTheDistanceTurnsTheRightWayAndUndoes)
{
    const Camera home = homeCamera(kCubeLo, kCubeHi, 1.0);
    Camera c = home;
    orbit(c, kArrowStep, 0);  // the scene turns right: the camera goes left
    EXPECT_LT(c.position.x, 0);
    EXPECT_NEAR(distance(c.position, c.target), distance(home.position, home.target), 1e-9);
    orbit(c, -kArrowStep, 0);
    EXPECT_NEAR(distance(c.position, home.position), 0, 1e-9);
    orbit(c, 0, kArrowStep);  // the scene turns up: the camera goes down
    EXPECT_LT(c.position.y, 0);
    EXPECT_NEAR(c.up.z, std::sin(kArrowStep), 1e-9);
    // 360 one-degree steps come round again.
    c = home;
    for (int i = 0; i < 360; ++i)
        orbit(c, kArrowStep, 0);
    EXPECT_NEAR(distance(c.position, home.position), 0, 1e-6);
}

TEST(Camera, ZoomMovesAlongTheViewLineWithinLimits)
{
    Camera c = homeCamera(kCubeLo, kCubeHi, 1.0);
    const double d = distance(c.position, c.target);
    zoom(c, 0.5);
    EXPECT_NEAR(distance(c.position, c.target), d / 2, 1e-9);
    for (int i = 0; i < 200; ++i)
        zoom(c, 0.1);
    EXPECT_GE(distance(c.position, c.target), 1e-3);
    EXPECT_TRUE(std::isfinite(c.position.z));
}

// Keyboard dispatch with a callback (the window test sees the library's own keys and spaces).
int g_calls = 0;
int consumeH(unsigned char* k)
{
    ++g_calls;
    return *k == 'h' ? 1 : 0;
}
int lowerQQuits(unsigned char* k)
{
    ++g_calls;
    if (*k == 'q')
        *k = 'Q';
    return 0;
}

TEST(Keys, TheCallbackSeesKeysFirstButNeverShiftEscapeAndMayConsumeOrChangeThem)
{
    const struct {
        int (*callback)(unsigned char*);
        unsigned char key;
        bool shift;
        KeyAction action;
        bool home;
        int calls;
    } cases[] = {
        {consumeH, 27, true, KeyAction::Quit, false, 0},  {consumeH, 'h', false, KeyAction::None, false, 1},
        {consumeH, 'H', false, KeyAction::None, true, 1}, {lowerQQuits, 'q', false, KeyAction::Quit, false, 1},
        {nullptr, 'H', true, KeyAction::None, true, 0},
    };
    for (const auto& c : cases) {
        Session s;
        s.home = homeCamera(kCubeLo, kCubeHi, 1.0);
        s.camera = s.home;
        orbit(s.camera, 0.3, 0.2);
        s.keyCallback = c.callback;
        g_calls = 0;
        EXPECT_EQ(pressKey(s, c.key, c.shift), c.action) << c.key;
        EXPECT_EQ(distance(s.camera.position, s.home.position) == 0, c.home) << c.key;
        EXPECT_EQ(g_calls, c.calls) << c.key;
    }
    Session s;
    for (int i = 0; i < 20; ++i)
        pressKey(s, '>', false);
    EXPECT_EQ(s.cameraSpeed, 64.0);
    for (int i = 0; i < 40; ++i)
        pressKey(s, '<', false);
    EXPECT_EQ(s.cameraSpeed, 1.0 / 64);
}

}  // namespace
}  // namespace kestrum::plot
