// The plotting library in a real freeglut window under a private Xvfb server, driven with
// xdotool key presses and checked through xwd screenshots and the library's own PNG key; and its
// pictures drawn without a display, checked against the same predictions and the window.
#include "tests/support/support.h"
#include "tests/support/xsession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace kestrum::test {
namespace {

const std::string kDriver = binary("tests/plot/plot_driver");

// Window pixel (column, row from the top) where the home camera shows the device point (x, y, z)
// in the 800 x 600 window: the camera looks down -z from the distance at which the sphere around
// the cube -1..1 fills the 45-degree field of view.
void expectedPixel(double x, double y, double z, int& column, int& row)
{
    const double halfFov = 22.5 * M_PI / 180.0;
    const double distance = std::sqrt(3.0) / std::sin(halfFov) - z;
    const double f = 1.0 / std::tan(halfFov);
    const double ndcX = f / (800.0 / 600.0) * x / distance, ndcY = f * y / distance;
    column = static_cast<int>(std::lround((ndcX + 1.0) * 400.0));
    row = 599 - static_cast<int>(std::lround((ndcY + 1.0) * 300.0));
}

auto same(const Image& want)
{
    return [&want](const Image& i) { return i == want; };
}
auto differs(const Image& from)
{
    return [&from](const Image& i) { return !(i == from); };
}

class PlotWindow : public ::testing::Test {
protected:
    // Starts the driver with these arguments and waits for its window.
    void launch(std::vector<std::string> args, std::vector<std::string> env = {})
    {
        ASSERT_TRUE(x.ok()) << "Xvfb did not start";
        args.insert(args.begin(), kDriver);
        env.push_back(x.env());
        env.push_back(kNoGlLeakCheck);
        program = std::make_unique<Background>(args, env, dir.path());
        ASSERT_TRUE(waitForWindow(x, 30.0)) << program->err();
    }
    // Launches the driver in its 800 x 600 window and takes the home view.
    void start(std::vector<std::string> args = {})
    {
        ASSERT_NO_FATAL_FAILURE(launch(std::move(args)));
        home = screenshotWhen(x, 10.0, [](const Image& i) { return i.width == 800 && i.brightNear(400, 300, 2); });
        ASSERT_EQ(home.width, 800);
        ASSERT_EQ(home.height, 600);
    }

    // The program ends within a few seconds; its exit status.
    int finish()
    {
        int status = -1;
        EXPECT_TRUE(program->wait(15.0, status)) << "still running";
        return status;
    }

    XServer x;
    TempDir dir;
    std::unique_ptr<Background> program;
    Image home;
};

// The driver's scene seen from home: its points and box edges where the world mapping puts them.
void expectDriverScene(const Image& home)
{
    // World (25|75, -25|25, 5) in the window x 0..100, y -50..50, z 0..10 is device (+-0.5, +-0.5, 0).
    for (double dx : {-0.5, 0.5})
        for (double dy : {-0.5, 0.5}) {
            int c, r;
            expectedPixel(dx, dy, 0.0, c, r);
            EXPECT_TRUE(home.brightNear(c, r, 2))
                << "point at device " << dx << "," << dy << " not at " << c << "," << r;
        }
    int c, r;
    expectedPixel(-0.25, 0.25, 0.0, c, r);
    EXPECT_FALSE(home.brightNear(c, r, 3)) << "nothing is drawn between the points";

    // Front bottom edge (y -1, z 1) and back top edge (y 1, z -1), sampled between the ticks.
    for (double ex : {-0.6, 0.1, 0.7}) {
        expectedPixel(ex, -1.0, 1.0, c, r);
        EXPECT_TRUE(home.brightNear(c, r, 1)) << "front bottom edge missing at " << c << "," << r;
        expectedPixel(ex, 1.0, -1.0, c, r);
        EXPECT_TRUE(home.brightNear(c, r, 1)) << "back top edge missing at " << c << "," << r;
    }
    // Vertical edges at the front corners.
    expectedPixel(-1.0, 0.3, 1.0, c, r);
    EXPECT_TRUE(home.brightNear(c, r, 1));
    expectedPixel(1.0, 0.3, 1.0, c, r);
    EXPECT_TRUE(home.brightNear(c, r, 1));
    // Points outside the world window are not clipped: none here, and the corner stays dark.
    EXPECT_FALSE(home.brightNear(5, 590, 4));
}

// The driver's image and colour bar seen from home, in the colours it gives them.
void expectDriverImage(const Image& home)
{
    // The driver's 4 x 3 image spans device -1..1 in x and y at z 0; its colours as it sets them.
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 4; ++i) {
            int c, r;
            expectedPixel(-0.75 + 0.5 * i, -2.0 / 3 + 2.0 / 3 * j, 0.0, c, r);
            EXPECT_EQ(home.at(c, r), static_cast<std::uint32_t>((60 * i + 20) << 16 | (80 * j + 40) << 8 | 200))
                << "cell " << i << "," << j;
        }
    // The bar: x 710..730, steps of 72 rows upwards from row 480 (from the top).
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(home.at(720, 480 - 36 - 72 * k), static_cast<std::uint32_t>(50 * k << 16 | 100 << 8 | (250 - 50 * k)))
            << "bar step " << k;
    EXPECT_TRUE(home.brightNear(745, 120, 3)) << "the number 1 at the top tick";
}

TEST_F(PlotWindow, ImageCellsAndColourBarStepsShowTheirColoursWhereTheyLie)
{
    for (const char* part : {"--image", "--static"}) {
        SCOPED_TRACE(part);
        start({"--image", part});
        expectDriverImage(home);
        pressKeys(x, {"Right", "h"});
        EXPECT_EQ(screenshotWhen(x, 10.0, same(home)), home) << "the image is drawn the same on every frame";
        pressKeys(x, {"shift+q"});
        EXPECT_EQ(finish(), 0);
    }
}

TEST_F(PlotWindow, PointsAndBoxEdgesAppearWhereTheWorldMappingPutsThem)
{
    start();
    expectDriverScene(home);
}

TEST_F(PlotWindow, StaticGeometryStaysOnEveryFrame)
{
    start({"--static"});
    int c, r;
    expectedPixel(0.5, 0.5, 0.0, c, r);
    EXPECT_TRUE(home.brightNear(c, r, 2));
    pressKeys(x, {"Right", "h"});
    const Image again = screenshotWhen(x, 10.0, same(home));
    EXPECT_EQ(again, home);
}

TEST_F(PlotWindow, ArrowKeysRotateAndHomeRestoresTheView)
{
    start();
    for (const char* key : {"Right", "Left", "Up", "Down"}) {
        pressKeys(x, {key, key, key, key, key});
        const Image turned = screenshotWhen(x, 10.0, differs(home));
        EXPECT_NE(turned, home) << key << " did not rotate the view";
        pressKeys(x, {"h"});
        const Image back = screenshotWhen(x, 10.0, same(home));
        EXPECT_EQ(back, home) << "h after " << key << " did not restore the home view";
    }
    // Opposite arrows cancel: five right then five left is home again.
    pressKeys(x, {"Right", "Right", "Right", "Left", "Left", "Left"});
    const Image back = screenshotWhen(x, 10.0, same(home));
    EXPECT_EQ(back, home);
    pressKeys(x, {"shift+q"});
    EXPECT_EQ(finish(), 0);
}

TEST_F(PlotWindow, FramesComeContinuouslyAtMostNinetyASecondWithTimeAndSpaceCount)
{
    start();
    pressKeys(x, {"space", "space", "space"});
    const double t0 = now();
    while (secondsSince(t0) < 1.5)
        screenshot(x);
    pressKeys(x, {"shift+q"});
    ASSERT_EQ(finish(), 0);
    int frames = 0, spaces = -1;
    double rate = -1;
    const std::string out = program->out();
    ASSERT_EQ(std::sscanf(out.c_str() + out.find("frames"), "frames %d rate %lf spaces %d", &frames, &rate, &spaces), 3)
        << out;
    EXPECT_GE(frames, 10) << "the window redraws without being asked";
    EXPECT_GT(rate, 0.0);
    EXPECT_LE(rate, 90.5);
    EXPECT_EQ(spaces, 3);
}

// The GLUT glue hands keys to the callback first (which consumes h here); q and plain Escape
// do not quit, Shift+Escape always does, with status 0.
TEST_F(PlotWindow, KeysReachTheCallbackFirstAndShiftEscapeAlwaysQuits)
{
    start({"--block-home"});
    pressKeys(x, {"Right", "Right", "Right"});
    const Image turned = screenshotWhen(x, 10.0, differs(home));
    ASSERT_NE(turned, home);
    pressKeys(x, {"h", "q", "Escape"});
    EXPECT_NE(screenshotWhen(x, 1.5, same(home)), home) << "the library moved home although the callback consumed h";
    int status;
    EXPECT_FALSE(program->wait(0.5, status)) << "q or plain Escape ended the program";
    pressKeys(x, {"shift+Escape"});
    EXPECT_EQ(finish(), 0);
    EXPECT_NE(program->err().find("Entering interactive mode.  Shift-ESC or Shift-Q to quit.\n"), std::string::npos);
}

TEST_F(PlotWindow, F2WritesTheFrameAsPngAndF1ShowsTheKeyHelp)
{
    TempDir frames;
    start({"--chdir", frames.path()});
    // The PNG of the frame, once it is there (for at most 10 seconds).
    auto waitForPng = [&](const std::string& name) {
        const double t0 = now();
        Image png;
        while (png.width == 0 && secondsSince(t0) < 10.0)
            png = readPng(frames.file(name));
        return png;
    };
    pressKeys(x, {"F2"});
    const Image png = waitForPng("s2frame-0001.png");
    ASSERT_EQ(png.width, 800);
    ASSERT_EQ(png.height, 600);
    EXPECT_EQ(png, home) << "the PNG holds what the window shows";

    pressKeys(x, {"F1"});
    const Image help = screenshotWhen(x, 10.0, differs(home));
    EXPECT_NE(help, home);
    pressKeys(x, {"F2", "F1"});
    EXPECT_EQ(waitForPng("s2frame-0002.png").width, 800) << "a second frame gets the next free name";
    EXPECT_EQ(screenshotWhen(x, 10.0, same(home)), home) << "F1 hides the help again";
    EXPECT_NE(program->err().find("s2frame-0001.png"), std::string::npos);
}

TEST_F(PlotWindow, WheelAndPlusMinusZoomAndDraggingRotates)
{
    start();
    pressKeys(x, {"plus", "plus"});
    EXPECT_NE(screenshotWhen(x, 10.0, differs(home)), home);
    pressKeys(x, {"minus", "minus"});
    // Zooming in and out by the same factor comes back to within rounding of the home view.
    pressKeys(x, {"h"});
    EXPECT_EQ(screenshotWhen(x, 10.0, same(home)), home);
    run({"/usr/bin/xdotool", "mousemove", "400", "300", "mousedown", "1", "mousemove", "450", "320", "mouseup", "1"},
        "", {x.env()});
    EXPECT_NE(screenshotWhen(x, 10.0, differs(home)), home);
    pressKeys(x, {"h"});
    run({"/usr/bin/xdotool", "mousemove", "400", "300", "click", "4"}, "", {x.env()});
    EXPECT_NE(screenshotWhen(x, 10.0, differs(home)), home) << "wheel did not zoom";
}

TEST_F(PlotWindow, FullScreenDeviceFillsTheScreen)
{
    ASSERT_NO_FATAL_FAILURE(launch({"--device", "/s2monof"}));
    // Without a window manager the window keeps its one-pixel border, which the screen edge cuts.
    const Image full = screenshotWhen(x, 10.0, [](const Image& i) { return i.width >= 1023 && i.height >= 767; });
    EXPECT_GE(full.width, 1023);
    EXPECT_GE(full.height, 767);
    pressKeys(x, {"shift+q"});
    EXPECT_EQ(finish(), 0);
    EXPECT_NE(program->out().find("s2opend: 1"), std::string::npos);
}

TEST(PlotDisplay, ServerWithoutOpenGLWarnsReturnsZeroAndTheProcessGoesOn)
{
    XServer x({"-extension", "GLX"});
    ASSERT_TRUE(x.ok());
    const RunResult r = run({kDriver}, "", {x.env()}, 60.0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "s2opend: 0\n");
    EXPECT_EQ(r.err,
              "S2GL WARNING ... <s2opend>: display \"" + x.display() + "\" has no OpenGL (GLX) support; no window\n");
}

TEST_F(PlotWindow, WindowSizeComesFromTheEnvironment)
{
    ASSERT_NO_FATAL_FAILURE(launch({"--device", "/S2"}, {"S2GL_WIDTH=640", "S2GL_HEIGHT=480"}));
    const Image img = screenshotWhen(x, 10.0, [](const Image& i) { return i.width == 640; });
    EXPECT_EQ(img.width, 640);
    EXPECT_EQ(img.height, 480);
    pressKeys(x, {"shift+Escape"});
    EXPECT_EQ(finish(), 0);
}

// Of the pixels lit in `a` (all channels at least 128) in columns c0 .. c1 and rows r0 .. r1,
// the share with a lit pixel of `b` within one pixel.
double litShareMatched(const Image& a, const Image& b, int c0, int c1, int r0, int r1)
{
    int lit = 0, matched = 0;
    for (int r = r0; r <= r1; ++r)
        for (int c = c0; c <= c1; ++c)
            if (a.brightNear(c, r, 0)) {
                ++lit;
                matched += b.brightNear(c, r, 1);
            }
    return lit > 0 ? static_cast<double>(matched) / lit : 0.0;
}

TEST_F(PlotWindow, PictureWithoutADisplayShowsWhatTheWindowShows)
{
    start();
    TempDir pictures;
    // Home, then the turn of five presses of Right and three of Up (one degree each).
    const struct {
        std::vector<std::string> keys;
        const char *right, *up;
    } cases[] = {{{}, "0", "0"}, {{"Right", "Right", "Right", "Right", "Right", "Up", "Up", "Up"}, "5", "3"}};
    for (const auto& t : cases) {
        pressKeys(x, t.keys);
        const Image shot = t.keys.empty() ? home : screenshotWhen(x, 10.0, differs(home));
        const std::string path = pictures.file(std::string(t.right) + ".png");
        const RunResult r = run({kDriver, "--png", path, t.right, t.up}, "", {"DISPLAY="});
        ASSERT_EQ(r.out, "s2png: 1\n") << r.err;
        const Image png = readPng(path);
        ASSERT_EQ(png.width, 800);
        ASSERT_EQ(png.height, 600);
        int left, top, right, bottom;
        expectedPixel(-1.0, 1.0, 1.0, left, top);
        expectedPixel(1.0, -1.0, 1.0, right, bottom);
        const int middle = (left + right) / 2;
        // Points and edges alike within a pixel; only the fonts of the text differ.
        EXPECT_EQ(litShareMatched(shot, png, left - 2, middle, top - 2, bottom + 2), 1.0) << t.right;
        EXPECT_EQ(litShareMatched(png, shot, left - 2, middle, top - 2, bottom + 2), 1.0) << t.right;
        EXPECT_GT(litShareMatched(shot, png, 0, 799, 0, 599), 0.95) << t.right;
        EXPECT_GT(litShareMatched(png, shot, 0, 799, 0, 599), 0.95) << t.right;
    }
}

// Lit pixels in the top 40 rows, where the title goes.
int titlePixels(const Image& img)
{
    int n = 0;
    for (int r = 0; r < 40; ++r)
        for (int c = 0; c < img.width; ++c)
            n += img.brightNear(c, r, 0);
    return n;
}

TEST(PlotPicture, DrawnWithoutADisplayAndNeverHalfWritten)
{
    TempDir dir;
    const std::vector<std::string> noDisplay = {"DISPLAY="};
    const std::string path = dir.file("home.png");
    for (int pass = 0; pass < 2; ++pass) {  // the second replaces the first
        const RunResult r = run({kDriver, "--png", path, "0", "0"}, "", noDisplay);
        EXPECT_EQ(r.out, "s2png: 1\n");
        EXPECT_EQ(r.err, "");
    }
    const Image png = readPng(path);
    ASSERT_EQ(png.width, 800);
    ASSERT_EQ(png.height, 600);
    expectDriverScene(png);
    EXPECT_GT(titlePixels(png), 40) << "no title";

    RunResult r = run({kDriver, "--image", "--png", dir.file("image.png"), "0", "0"}, "", noDisplay);
    expectDriverImage(readPng(dir.file("image.png")));

    // The device draws the same picture into the working directory's first free frame name.
    r = run({kDriver, "--device", "/png", "--chdir", dir.path()}, "", noDisplay);
    EXPECT_EQ(r.out, "s2opend: 1\nframes 1 rate 0.00 spaces 0\n");
    EXPECT_EQ(r.err, "s2show: frame saved to s2frame-0001.png\n");
    EXPECT_EQ(readPng(dir.file("s2frame-0001.png")), png);

    // Without its font the picture has no text, and says so.
    r = run({kDriver, "--png", dir.file("plain.png"), "0", "0"}, "", {"DISPLAY=", "S2GL_FONT=/no/font.ttf"});
    EXPECT_EQ(r.err,
              "S2GL WARNING ... <s2png>: no text in pictures: /no/font.ttf: not a font file that FreeType can "
              "read (is fonts-dejavu-core installed?)\n");
    const Image plain = readPng(dir.file("plain.png"));
    ASSERT_EQ(plain.width, 800);
    expectDriverScene(plain);
    EXPECT_EQ(titlePixels(plain), 0);

    // A file that cannot be written: a warning naming it, and nothing left behind.
    for (const std::string& bad : {dir.file("none/x.png"), dir.file("home.png/x.png")}) {
        r = run({kDriver, "--png", bad, "0", "0"}, "", noDisplay);
        EXPECT_EQ(r.out, "s2png: 0\n");
        EXPECT_EQ(r.err.rfind("S2GL WARNING ... <s2png>: picture not written: " + bad + ": ", 0), 0u) << r.err;
    }
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"home.png", "image.png", "plain.png", "s2frame-0001.png"}));
}

}  // namespace
}  // namespace kestrum::test
