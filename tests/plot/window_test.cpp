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
#include <sstream>

namespace kestrum::test {
namespace {

const std::string kDriver = binary("tests/plot/plot_driver");

// Window pixel (column, row from the top) where the home camera shows the device point (x, y, z)
// in the 800 x 600 window: the camera looks down -z from the distance at which the sphere around
// the cube -1..1 fills the 45-degree field of view.
std::pair<int, int> pixelOf(double x, double y, double z)
{
    const double halfFov = 22.5 * M_PI / 180.0;
    const double distance = std::sqrt(3.0) / std::sin(halfFov) - z;
    const double f = 1.0 / std::tan(halfFov);
    const double ndcX = f / (800.0 / 600.0) * x / distance, ndcY = f * y / distance;
    return {static_cast<int>(std::lround((ndcX + 1.0) * 400.0)),
            599 - static_cast<int>(std::lround((ndcY + 1.0) * 300.0))};
}

auto same(const Image& want)
{
    return [&want](const Image& i) { return i == want; };
}
auto differs(const Image& from)
{
    return [&from](const Image& i) { return !(i == from); };
}

// Key presses ("Right Right h"), or xdotool mouse actions when the words start with "mouse".
void act(const XServer& x, const std::string& words)
{
    std::vector<std::string> w;
    std::istringstream in(words);
    for (std::string word; in >> word;)
        w.push_back(word);
    if (words.rfind("mouse", 0) != 0)
        return pressKeys(x, w);
    w.insert(w.begin(), "/usr/bin/xdotool");
    run(w, "", {x.env()});
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
    void start(std::vector<std::string> args = {}, std::vector<std::string> env = {})
    {
        ASSERT_NO_FATAL_FAILURE(launch(std::move(args), std::move(env)));
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
    // World (25|75, -25|25, 5) in the window x 0..100, y -50..50, z 0..10 is device (+-0.5, +-0.5, 0);
    // nothing between the points; the front bottom (y -1, z 1) and back top (y 1, z -1) edges between
    // the ticks, and the vertical edges at the front corners.
    const struct {
        double x, y, z;
        int radius;
        bool lit;
    } probes[] = {{-0.5, -0.5, 0, 2, true},   {-0.5, 0.5, 0, 2, true}, {0.5, -0.5, 0, 2, true}, {0.5, 0.5, 0, 2, true},
                  {-0.25, 0.25, 0, 3, false}, {-0.6, -1, 1, 1, true},  {0.1, -1, 1, 1, true},   {0.7, -1, 1, 1, true},
                  {-0.6, 1, -1, 1, true},     {0.1, 1, -1, 1, true},   {0.7, 1, -1, 1, true},   {-1, 0.3, 1, 1, true},
                  {1, 0.3, 1, 1, true}};
    for (const auto& p : probes) {
        const auto [c, r] = pixelOf(p.x, p.y, p.z);
        EXPECT_EQ(home.brightNear(c, r, p.radius), p.lit) << "device " << p.x << "," << p.y << "," << p.z;
    }
    // Points outside the world window are not clipped: none here, and the corner stays dark.
    EXPECT_FALSE(home.brightNear(5, 590, 4));
}

// The driver's image and colour bar seen from home, in the colours it gives them.
void expectDriverImage(const Image& home)
{
    // The driver's 4 x 3 image spans device -1..1 in x and y at z 0; its colours as it sets them.
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 4; ++i) {
            const auto [c, r] = pixelOf(-0.75 + 0.5 * i, -2.0 / 3 + 2.0 / 3 * j, 0.0);
            EXPECT_EQ(home.at(c, r), static_cast<std::uint32_t>((60 * i + 20) << 16 | (80 * j + 40) << 8 | 200))
                << "cell " << i << "," << j;
        }
    // The bar: x 710..730, steps of 72 rows upwards from row 480 (from the top).
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(home.at(720, 480 - 36 - 72 * k), static_cast<std::uint32_t>(50 * k << 16 | 100 << 8 | (250 - 50 * k)))
            << "bar step " << k;
    EXPECT_TRUE(home.brightNear(745, 120, 3)) << "the number 1 at the top tick";
}

// Drawn per frame and drawn once (static geometry stays on every frame) alike.
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

TEST_F(PlotWindow, WindowSizeComesFromTheFullScreenDeviceOrTheEnvironment)
{
    const struct {
        std::vector<std::string> args, env;
        int width, height;
        bool atLeast;  // without a window manager the full-screen window's border is cut by the screen edge
    } cases[] = {{{"--device", "/s2monof"}, {}, 1023, 767, true},
                 {{"--device", "/S2"}, {"S2GL_WIDTH=640", "S2GL_HEIGHT=480"}, 640, 480, false}};
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(launch(c.args, c.env));
        const Image img = screenshotWhen(x, 10.0, [&](const Image& i) { return i.width >= c.width; });
        EXPECT_TRUE(img.width == c.width || (c.atLeast && img.width > c.width)) << img.width;
        EXPECT_TRUE(img.height == c.height || (c.atLeast && img.height > c.height)) << img.height;
        pressKeys(x, {"shift+q"});
        EXPECT_EQ(finish(), 0);
        EXPECT_NE(program->out().find("s2opend: 1"), std::string::npos);
    }
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

// The picture once the keys have turned the view and it is still: unchanged for a second, so that
// a refining window slowed by a busy machine is not caught between two of its frames.
Image stillAfter(const XServer& x, const std::vector<std::string>& keys, const Image& before)
{
    pressKeys(x, keys);
    Image last = screenshot(x);
    const double t0 = now();
    double since = now();
    while (secondsSince(t0) < 20.0) {
        const Image shot = screenshot(x);
        if (!(shot == last) || shot == before)
            since = now();
        else if (secondsSince(since) >= 1.0)
            return shot;
        last = shot;
    }
    return last;
}

// On the CPU rasteriser (the default on a software GL), with S2GL_QUICK_FRAME far below what a frame
// takes, every changed frame shows only part of the scene, and the picture it comes to rest on
// is byte for byte the one of a window that draws every frame whole.
TEST_F(PlotWindow, RefinedPictureOnceStillIsTheExactOne)
{
    const std::vector<std::string> keys = {"Right", "Right", "Up"};
    start({}, {"S2GL_RENDER=cpu"});
    const Image whole = stillAfter(x, keys, home);
    program.reset();
    ASSERT_NO_FATAL_FAILURE(launch({}, {"S2GL_RENDER=cpu", "S2GL_QUICK_FRAME=0.000000001"}));
    const Image refinedHome = screenshotWhen(x, 10.0, same(home));
    EXPECT_EQ(refinedHome, home);
    const Image refined = stillAfter(x, keys, refinedHome);
    EXPECT_EQ(refined, whole);
    EXPECT_EQ(stillAfter(x, {"h"}, refined), home);
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

// One window through every key and mouse action the library handles itself: each step changes
// the picture and its undoing brings the home view back; at home and at the first step's turn the
// picture drawn without a display shows what the window shows.
// Then F2 saves frames under the next free names, and the per-frame callback saw the frames come
// on their own at most 90 a second and the spaces counted.
TEST_F(PlotWindow, KeysAndMouseTurnZoomAndHelpHomeRestoresAndPicturesMatchTheWindow)
{
    TempDir frames;
    start({"--chdir", frames.path()});
    expectDriverScene(home);
    // The picture drawn without a display at the window's turn (degrees right and up).
    auto expectPicture = [&](const Image& shot, const std::string& right, const std::string& up) {
        const std::string png = frames.file(right + up + ".png");
        const RunResult r = run({kDriver, "--png", png, right, up}, "", {"DISPLAY="});
        ASSERT_EQ(r.out, "s2png: 1\n") << r.err;
        const Image picture = readPng(png);
        ASSERT_EQ(picture.width, 800);
        ASSERT_EQ(picture.height, 600);
        const auto [left, top] = pixelOf(-1.0, 1.0, 1.0);
        const auto [middle, bottom] = pixelOf(0.0, -1.0, 1.0);
        // Points and edges alike within a pixel; only the fonts of the text differ.
        EXPECT_EQ(litShareMatched(shot, picture, left - 2, middle, top - 2, bottom + 2), 1.0) << right << up;
        EXPECT_EQ(litShareMatched(picture, shot, left - 2, middle, top - 2, bottom + 2), 1.0) << right << up;
        EXPECT_GT(litShareMatched(shot, picture, 0, 799, 0, 599), 0.95) << right << up;
        EXPECT_GT(litShareMatched(picture, shot, 0, 799, 0, 599), 0.95) << right << up;
    };
    expectPicture(home, "0", "0");
    const struct {
        const char *change, *undo;
    } steps[] = {
        {"Right Right Right Right Right Up Up Up", "h"},  // one degree a press
        {"Left Left Left Left Left", "h"},
        {"Down Down Down Down Down", "h"},
        {"Right Right Right", "Left Left Left"},  // opposite arrows cancel
        {"plus plus", "minus minus h"},
        {"F1", "F1 space space space"},  // the key help shown and hidden
        {"mousemove 400 300 mousedown 1 mousemove 450 320 mouseup 1", "h"},  // dragging turns
        {"mousemove 400 300 click 4", "h"},  // the wheel zooms
    };
    for (const auto& s : steps) {
        act(x, s.change);
        const Image changed = screenshotWhen(x, 10.0, differs(home));
        EXPECT_NE(changed, home) << s.change;
        if (&s == &steps[0])
            expectPicture(changed, "5", "3");
        act(x, s.undo);
        EXPECT_EQ(screenshotWhen(x, 10.0, same(home)), home) << s.undo << " after " << s.change;
    }
    pressKeys(x, {"F2", "F2"});
    auto waitForPng = [&](const std::string& name) {
        const double t0 = now();
        Image png;
        while (png.width == 0 && secondsSince(t0) < 10.0)
            png = readPng(frames.file(name));
        return png;
    };
    EXPECT_EQ(waitForPng("s2frame-0001.png"), home) << "the PNG holds what the window shows";
    EXPECT_EQ(waitForPng("s2frame-0002.png").width, 800) << "a second frame gets the next free name";
    EXPECT_NE(program->err().find("s2frame-0001.png"), std::string::npos);

    pressKeys(x, {"shift+q"});
    ASSERT_EQ(finish(), 0);
    int frameCount = 0, spaces = -1;
    double rate = -1;
    const std::string out = program->out();
    ASSERT_EQ(
        std::sscanf(out.c_str() + out.find("frames"), "frames %d rate %lf spaces %d", &frameCount, &rate, &spaces), 3)
        << out;
    EXPECT_GE(frameCount, 10) << "the window redraws without being asked";
    EXPECT_GT(rate, 0.0);
    EXPECT_LE(rate, 90.5);
    EXPECT_EQ(spaces, 3);
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
