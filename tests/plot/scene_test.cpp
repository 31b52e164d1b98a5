// The plotting core without a window: world-to-device mapping, static and per-frame geometry,
// the camera, and the keyboard dispatch between the caller's callback and the library.
#include "plot/scene.h"
#include "plot/session.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

namespace kestrum::plot {
namespace {

const float kCubeLo[3] = {-1, -1, -1}, kCubeHi[3] = {1, 1, 1};

void setWindow(Mapping& m, float x1, float x2, float y1, float y2, float z1, float z2)
{
    const float lo[3] = {x1, y1, z1}, hi[3] = {x2, y2, z2};
    m.setWindow(lo, hi);
}

// The device position of world (x, y, z), which must be mappable.
std::array<float, 3> device(const Mapping& m, float x, float y, float z)
{
    std::array<float, 3> d{NAN, NAN, NAN};
    EXPECT_TRUE(m.toDevice(x, y, z, d.data())) << x << "," << y << "," << z;
    return d;
}

TEST(Mapping, WindowFacesMapOntoViewportFacesLinearly)
{
    Mapping m;
    setWindow(m, 0, 100, -50, 50, 0, 10);
    EXPECT_EQ(device(m, 0, -50, 0), (std::array<float, 3>{-1, -1, -1}));
    EXPECT_EQ(device(m, 100, 50, 10), (std::array<float, 3>{1, 1, 1}));
    EXPECT_EQ(device(m, 25, 0, 7.5), (std::array<float, 3>{-0.5, 0, 0.5}));
    // No clipping: outside the window lands outside the viewport.
    EXPECT_EQ(device(m, 200, -150, -10), (std::array<float, 3>{3, -3, -3}));
}

TEST(Mapping, ReversedWindowAndOtherViewport)
{
    Mapping m;
    const float lo[3] = {0, 0, 0}, hi[3] = {2, 4, 6};
    m.setViewport(lo, hi);
    setWindow(m, 10, -10, 1, 3, 5, 5);
    float d[3];
    ASSERT_TRUE(m.toDevice(10, 3, 5, d));
    EXPECT_FLOAT_EQ(d[0], 0);  // x1 = 10 goes to the low face even though it is the larger value
    EXPECT_FLOAT_EQ(d[1], 4);
    ASSERT_TRUE(m.toDevice(-10, 1, 5, d));
    EXPECT_FLOAT_EQ(d[0], 2);
    EXPECT_FLOAT_EQ(d[1], 0);
}

TEST(Mapping, ZeroWidthAxisMapsEverythingToTheViewportMiddle)
{
    Mapping m;
    setWindow(m, 0, 10, 3, 3, 0, 0);  // all values equal, one record
    float d[3];
    ASSERT_TRUE(m.toDevice(5, 3, 0, d));
    EXPECT_FLOAT_EQ(d[1], 0);
    EXPECT_FLOAT_EQ(d[2], 0);
    ASSERT_TRUE(m.toDevice(5, 1e30f, -7, d));
    EXPECT_FLOAT_EQ(d[1], 0);
    EXPECT_TRUE(std::isfinite(d[0]));
}

TEST(Mapping, NonFiniteOrOverflowingPositionsAreRejected)
{
    Mapping m;
    setWindow(m, 0, 1e-30f, 0, 1, 0, 1);
    float d[3] = {7, 7, 7};
    EXPECT_FALSE(m.toDevice(NAN, 0, 0, d));
    EXPECT_FALSE(m.toDevice(0, INFINITY, 0, d));
    EXPECT_FALSE(m.toDevice(1e30f, 0, 0, d)) << "2e60 is no float";
    EXPECT_EQ(d[0], 7);
}

TEST(Scene, FrameGeometryLastsOneFrameStaticGeometryStays)
{
    Scene s;
    s.addPoint(0, 0, 0, 1, 1, 1);
    s.addLine(0, 0, 0, 1, 1, 1, 1, 0, 0);
    s.beginFrame();
    s.addPoint(0.5f, 0.5f, 0.5f, 1, 1, 1);
    s.addPoint(NAN, 0, 0, 1, 1, 1);  // dropped
    EXPECT_EQ(s.points().size(), 2u);
    EXPECT_EQ(s.lines().size(), 2u);
    s.beginFrame();
    EXPECT_EQ(s.points().size(), 1u);
    EXPECT_EQ(s.points()[0].x, 0.0f);
    const Vertex& l = s.lines()[1];
    EXPECT_EQ(l.r, 255);
    EXPECT_EQ(l.g, 0);
}

TEST(Scene, SteadyFramesReuseTheirBuffers)
{
    Scene s;
    s.beginFrame();
    for (int i = 0; i < 100000; ++i)
        s.addPoint(i * 1e-5f, 0, 0, 1, 1, 1);
    const Vertex* data = s.points().data();
    for (int frame = 0; frame < 3; ++frame) {
        s.beginFrame();
        for (int i = 0; i < 100000; ++i)
            s.addPoint(i * 1e-5f, 0, 0, 1, 1, 1);
        EXPECT_EQ(s.points().data(), data) << "frame " << frame << " reallocated the point buffer";
    }
}

TEST(Scene, ColoursAreClampedToBytes)
{
    Scene s;
    s.addPoint(0, 0, 0, -1, 0.5f, 7);
    s.addPoint(0, 0, 0, NAN, 1, 0);
    EXPECT_EQ(s.points()[0].r, 0);
    EXPECT_EQ(s.points()[0].g, 128);
    EXPECT_EQ(s.points()[0].b, 255);
    EXPECT_EQ(s.points()[1].r, 0);
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
    EXPECT_FLOAT_EQ(b.lo[0], -1);
    EXPECT_FLOAT_EQ(b.hi[0], 1);
    EXPECT_FLOAT_EQ(b.lo[1], 0);
    EXPECT_FLOAT_EQ(b.hi[1], 0);
    EXPECT_FLOAT_EQ(b.lo[2], -1);
    EXPECT_FLOAT_EQ(b.hi[2], 1);
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

// Keyboard dispatch with a callback chosen per test.
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

class Keys : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_calls = 0;
        s.home = homeCamera(kCubeLo, kCubeHi, 1.0);
        s.camera = s.home;
        orbit(s.camera, 0.3, 0.2);
    }
    Session s;
};

TEST_F(Keys, QuitAndHomeKeys)
{
    EXPECT_EQ(pressKey(s, 'Q', false), KeyAction::Quit);
    EXPECT_EQ(pressKey(s, 'q', false), KeyAction::None);
    EXPECT_EQ(pressKey(s, 27, false), KeyAction::None);
    EXPECT_EQ(pressKey(s, 27, true), KeyAction::Quit);
    EXPECT_EQ(pressKey(s, 'h', false), KeyAction::None);
    EXPECT_DOUBLE_EQ(distance(s.camera.position, s.home.position), 0);
    orbit(s.camera, 0.1, 0);
    pressKey(s, 'H', true);
    EXPECT_DOUBLE_EQ(distance(s.camera.position, s.home.position), 0);
}

TEST_F(Keys, CallbackSeesTheKeyFirstAndCanConsumeOrChangeItButNeverShiftEscape)
{
    s.keyCallback = consumeH;
    EXPECT_EQ(pressKey(s, 27, true), KeyAction::Quit);
    EXPECT_EQ(g_calls, 0);
    pressKey(s, 'h', false);
    EXPECT_EQ(g_calls, 1);
    EXPECT_GT(distance(s.camera.position, s.home.position), 0.1) << "a consumed h must not move home";
    pressKey(s, 'H', false);
    EXPECT_DOUBLE_EQ(distance(s.camera.position, s.home.position), 0);
    s.keyCallback = lowerQQuits;
    EXPECT_EQ(pressKey(s, 'q', false), KeyAction::Quit);
}

TEST_F(Keys, SpaceCountsAndSpeedKeysStayInRange)
{
    pressKey(s, ' ', false);
    pressKey(s, ' ', false);
    EXPECT_EQ(s.spacePresses, 2);
    for (int i = 0; i < 20; ++i)
        pressKey(s, '>', false);
    EXPECT_EQ(s.cameraSpeed, 64.0);
    for (int i = 0; i < 40; ++i)
        pressKey(s, '<', false);
    EXPECT_EQ(s.cameraSpeed, 1.0 / 64);
}

}  // namespace
}  // namespace kestrum::plot
