// OpenGL renderer: client-side vertex arrays drawn with one glDrawArrays per primitive kind,
// GLUT bitmap fonts for text placed in window coordinates so that labels never overlap.
#define GL_GLEXT_PROTOTYPES 1
#include "plot/render.h"

#include <GL/freeglut.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glu.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kestrum::plot {
namespace {

void* const kFont = GLUT_BITMAP_HELVETICA_12;
void* const kHelpFont = GLUT_BITMAP_9_BY_15;
constexpr double kTextHeight = 12.0;
constexpr double kTextDescent = 3.0;

const char* const kHelpLines[] = {
    "Keys of the plot window",
    "Shift+Esc, Q : quit",
    "h            : back to the home position",
    "arrow keys   : rotate the view",
    "mouse drag   : rotate the view",
    "wheel, + -   : zoom in, out",
    "< >          : camera speed down, up",
    "F1           : show or hide this help",
    "F2           : save the frame as s2frame-NNNN.png",
};

void drawArray(GLenum mode, const std::vector<Vertex>& v)
{
    if (v.empty())
        return;
    glVertexPointer(3, GL_FLOAT, sizeof(Vertex), &v[0].x);
    glColorPointer(4, GL_UNSIGNED_BYTE, sizeof(Vertex), &v[0].r);
    glDrawArrays(mode, 0, static_cast<GLsizei>(v.size()));
}

void pushLine(std::vector<Vertex>& lines, const float a[3], const float b[3])
{
    lines.push_back({a[0], a[1], a[2], 255, 255, 255, 255});
    lines.push_back({b[0], b[1], b[2], 255, 255, 255, 255});
}

void drawString(void* font, double x, double y, const char* text)
{
    glWindowPos2i(static_cast<GLint>(std::lround(x)), static_cast<GLint>(std::lround(y)));
    glutBitmapString(font, reinterpret_cast<const unsigned char*>(text));
}

// A translucent or opaque black rectangle in window coordinates (an ortho projection is set).
void drawShade(double x0, double y0, double x1, double y1, double alpha)
{
    glColor4d(0.0, 0.0, 0.0, alpha);
    glBegin(GL_QUADS);
    glVertex2d(x0, y0);
    glVertex2d(x1, y0);
    glVertex2d(x1, y1);
    glVertex2d(x0, y1);
    glEnd();
}

}  // namespace

Renderer::ScreenPoint Renderer::project(float x, float y, float z) const
{
    double sx, sy, sz;
    if (gluProject(x, y, z, model_, projection_, viewport_, &sx, &sy, &sz) != GL_TRUE)
        return {0, 0, false};
    return {sx, sy, sz > 0.0 && sz < 1.0};
}

Rect Renderer::textRect(ScreenPoint anchor, double dx, double dy, const char* text) const
{
    const double w = glutBitmapLength(kFont, reinterpret_cast<const unsigned char*>(text));
    const double push = 0.5 * w * std::fabs(dx) + 0.5 * kTextHeight * std::fabs(dy) + 2.0;
    const double cx = anchor.x + dx * push, cy = anchor.y + dy * push;
    return {cx - 0.5 * w, cy - 0.5 * kTextHeight, cx + 0.5 * w, cy + 0.5 * kTextHeight};
}

void Renderer::appendBox(std::vector<Vertex>& lines, const Box& box, const Labels* labels)
{
    float centre[3];
    double size = 0.0;
    for (int i = 0; i < 3; ++i) {
        centre[i] = 0.5f * (box.lo[i] + box.hi[i]);
        size = std::max(size, static_cast<double>(box.hi[i] - box.lo[i]));
    }
    const double tickLength = 0.03 * (size > 0.0 ? size : 1.0);
    const ScreenPoint c = project(centre[0], centre[1], centre[2]);

    for (int a = 0; a < 3; ++a) {
        const int b = (a + 1) % 3, d = (a + 2) % 3;
        // The four edges parallel to axis a, in the order of the option letters B, C, D, E.
        const float side[4][2] = {
            {box.lo[b], box.lo[d]}, {box.hi[b], box.hi[d]}, {box.hi[b], box.lo[d]}, {box.lo[b], box.hi[d]}};
        int best = -1;
        double bestScore = 0.0;
        for (int e = 0; e < 4; ++e) {
            float p[3], q[3];
            p[a] = box.lo[a];
            q[a] = box.hi[a];
            p[b] = q[b] = side[e][0];
            p[d] = q[d] = side[e][1];
            if (box.edge[a][e])
                pushLine(lines, p, q);
            p[a] = centre[a];
            const ScreenPoint m = project(p[0], p[1], p[2]);
            if (!m.visible)
                continue;
            // x labels on the lowest edge, y labels on the leftmost, z labels low on the right.
            const double score = a == 0 ? m.y : a == 1 ? m.x : m.y - m.x;
            if (best < 0 || score < bestScore) {
                best = e;
                bestScore = score;
            }
        }
        if (best < 0 || !c.visible)
            continue;

        // Outward direction from the box's axis through the chosen edge.
        double out[3] = {0, 0, 0};
        out[b] = side[best][0] - centre[b];
        out[d] = side[best][1] - centre[d];
        const double len = std::hypot(out[b], out[d]);
        for (double& o : out)
            o = len > 0.0 ? o / len * tickLength : 0.0;

        float edgeMid[3];
        edgeMid[a] = centre[a];
        edgeMid[b] = side[best][0];
        edgeMid[d] = side[best][1];
        const ScreenPoint m = project(edgeMid[0], edgeMid[1], edgeMid[2]);
        double dx = m.x - c.x, dy = m.y - c.y;
        const double dl = std::hypot(dx, dy);
        if (dl > 1e-6) {
            dx /= dl;
            dy /= dl;
        } else {
            dx = 0.0;
            dy = -1.0;
        }

        const TickSet& ts = box.tickSet[a];
        Rect rects[kMaxTicks];
        for (int t = 0; t < ts.count; ++t) {
            float p[3] = {edgeMid[0], edgeMid[1], edgeMid[2]};
            p[a] = box.tickDevice[a][t];
            float q[3] = {p[0] + static_cast<float>(out[0]), p[1] + static_cast<float>(out[1]),
                          p[2] + static_cast<float>(out[2])};
            if (box.ticks[a])
                pushLine(lines, p, q);
            const ScreenPoint anchor =
                project(p[0] + static_cast<float>(2 * out[0]), p[1] + static_cast<float>(2 * out[1]),
                        p[2] + static_cast<float>(2 * out[2]));
            rects[t] = anchor.visible ? textRect(anchor, dx, dy, ts.labels[t]) : Rect{};
        }

        double reach = 0.0;  // how far the tick labels stick out from the edge along (dx, dy)
        if (box.labels[a]) {
            int kept[kMaxTicks];
            const int n = layout_.placeTicks(rects, ts.count, kept);
            for (int k = 0; k < n; ++k) {
                const Rect& r = rects[kept[k]];
                texts_.push_back({r.x0, r.y0 + kTextDescent, ts.labels[kept[k]]});
                reach = std::max(reach, (r.x1 - r.x0) * std::fabs(dx) + (r.y1 - r.y0) * std::fabs(dy));
            }
        }

        if (labels == nullptr || labels->axis[a].empty())
            continue;
        const char* text = labels->axis[a].c_str();
        const ScreenPoint anchor =
            project(edgeMid[0] + static_cast<float>(2 * out[0]), edgeMid[1] + static_cast<float>(2 * out[1]),
                    edgeMid[2] + static_cast<float>(2 * out[2]));
        if (!anchor.visible)
            continue;
        const ScreenPoint at = {anchor.x + dx * (reach + 6.0), anchor.y + dy * (reach + 6.0), true};
        const Rect r = layout_.placeAside(textRect(at, dx, dy, text), dx * kTextHeight, dy * kTextHeight, 8);
        if (!r.empty())
            texts_.push_back({r.x0, r.y0 + kTextDescent, text});
    }
}

void Renderer::layoutTitle(int width, int height, const std::string& title)
{
    // One screen line per line of text, centred at the top; placed first so that no axis label
    // runs into it.
    std::size_t lines = 0, start = 0;
    while (start <= title.size()) {
        std::size_t end = title.find('\n', start);
        if (end == std::string::npos)
            end = title.size();
        if (titleLines_.size() <= lines)
            titleLines_.emplace_back();
        titleLines_[lines].assign(title, start, end - start);
        ++lines;
        start = end + 1;
    }
    for (std::size_t i = 0; i < lines; ++i) {
        const char* text = titleLines_[i].c_str();
        const double w = glutBitmapLength(kFont, reinterpret_cast<const unsigned char*>(text));
        const double x0 = 0.5 * (width - w), baseline = height - 20.0 - static_cast<double>(i) * (kTextHeight + 6.0);
        layout_.placeAside({x0, baseline - kTextDescent, x0 + w, baseline - kTextDescent + kTextHeight}, 0, 0, 0);
        texts_.push_back({x0, baseline, text});
    }
}

void Renderer::drawTexts(int width, int height, const Overlays& overlays, const ColourBar* bar)
{
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0.0, width, 0.0, height, -1.0, 1.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();

    if (bar != nullptr)
        drawColourBar(*bar, width, height);
    glColor3f(1.0f, 1.0f, 1.0f);
    for (const PendingText& t : texts_)
        drawString(kFont, t.x, t.y, t.text);

    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    if (overlays.help) {
        constexpr int n = sizeof kHelpLines / sizeof kHelpLines[0];
        constexpr double lineHeight = 18.0;
        double w = 0.0;
        for (const char* l : kHelpLines)
            w = std::max(w,
                         static_cast<double>(glutBitmapLength(kHelpFont, reinterpret_cast<const unsigned char*>(l))));
        const double x0 = 20.0, y1 = height - 60.0, y0 = y1 - n * lineHeight - 16.0;
        drawShade(x0, y0, x0 + w + 24.0, y1, 0.85);
        glColor3f(1.0f, 1.0f, 0.6f);
        for (int i = 0; i < n; ++i)
            drawString(kHelpFont, x0 + 12.0, y1 - 8.0 - (i + 1) * lineHeight + 4.0, kHelpLines[i]);
    }
    if (overlays.fade > 0.0)
        drawShade(0.0, 0.0, width, height, std::min(overlays.fade, 1.0));
}

void Renderer::drawImages(const Scene& scene)
{
    if (textures_.size() < scene.imageCount())
        textures_.resize(scene.imageCount());
    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    maxSize = std::max(maxSize, 64);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glEnable(GL_TEXTURE_2D);
    for (std::size_t k = 0; k < scene.imageCount(); ++k) {
        const Image& im = scene.images()[k];
        ImageTextures& t = textures_[k];
        if (t.generation != im.generation) {
            glDeleteTextures(static_cast<GLsizei>(t.ids.size()), t.ids.data());
            t.tileSize = maxSize;
            t.tilesX = (im.nx + maxSize - 1) / maxSize;
            t.tilesY = (im.ny + maxSize - 1) / maxSize;
            t.ids.resize(static_cast<std::size_t>(t.tilesX) * static_cast<std::size_t>(t.tilesY));
            glGenTextures(static_cast<GLsizei>(t.ids.size()), t.ids.data());
            glPixelStorei(GL_UNPACK_ROW_LENGTH, im.nx);
            for (int ty = 0; ty < t.tilesY; ++ty)
                for (int tx = 0; tx < t.tilesX; ++tx) {
                    const int x0 = tx * maxSize, y0 = ty * maxSize;
                    glBindTexture(GL_TEXTURE_2D, t.ids[static_cast<std::size_t>(ty * t.tilesX + tx)]);
                    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
                    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
                    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
                    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
                    glPixelStorei(GL_UNPACK_SKIP_PIXELS, x0);
                    glPixelStorei(GL_UNPACK_SKIP_ROWS, y0);
                    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB8, std::min(maxSize, im.nx - x0),
                                 std::min(maxSize, im.ny - y0), 0, GL_RGB, GL_UNSIGNED_BYTE, im.rgb.data());
                }
            glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
            glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
            glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
            t.generation = im.generation;
        }
        // Each tile covers its share of the image's rectangle.
        const double sx = (im.p1[0] - im.p0[0]) / im.nx, sy = (im.p1[1] - im.p0[1]) / im.ny;
        for (int ty = 0; ty < t.tilesY; ++ty)
            for (int tx = 0; tx < t.tilesX; ++tx) {
                const int x0 = tx * t.tileSize, y0 = ty * t.tileSize;
                const int x1 = std::min(x0 + t.tileSize, im.nx), y1 = std::min(y0 + t.tileSize, im.ny);
                const double X0 = im.p0[0] + x0 * sx, X1 = im.p0[0] + x1 * sx;
                const double Y0 = im.p0[1] + y0 * sy, Y1 = im.p0[1] + y1 * sy;
                glBindTexture(GL_TEXTURE_2D, t.ids[static_cast<std::size_t>(ty * t.tilesX + tx)]);
                glBegin(GL_QUADS);
                glTexCoord2d(0, 0);
                glVertex3d(X0, Y0, im.p0[2]);
                glTexCoord2d(1, 0);
                glVertex3d(X1, Y0, im.p0[2]);
                glTexCoord2d(1, 1);
                glVertex3d(X1, Y1, im.p0[2]);
                glTexCoord2d(0, 1);
                glVertex3d(X0, Y1, im.p0[2]);
                glEnd();
            }
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    glDisable(GL_TEXTURE_2D);
}

void Renderer::layoutColourBar(const ColourBar& bar, int width, int height)
{
    // The bar's numbers and label take their place before the axis labels so that none runs
    // into them.
    const double x1 = width - 70.0, y0 = 0.2 * height, y1 = 0.8 * height;
    layout_.placeAside({width - 90.0, y0, x1, y1}, 0, 0, 0);
    const double span = static_cast<double>(bar.hi) - bar.lo;
    for (int t = 0; t < bar.ticks.count; ++t) {
        const double f = span != 0.0 ? (bar.ticks.values[t] - bar.lo) / span : 0.5;
        const double y = y0 + f * (y1 - y0);
        const char* text = bar.ticks.labels[t];
        const double w = glutBitmapLength(kFont, reinterpret_cast<const unsigned char*>(text));
        const Rect r = {x1 + 9.0, y - 0.5 * kTextHeight, x1 + 9.0 + w, y + 0.5 * kTextHeight};
        if (layout_.collides(r))
            continue;
        layout_.placeAside(r, 0, 0, 0);
        texts_.push_back({r.x0, r.y0 + kTextDescent, text});
    }
    if (!bar.label.empty()) {
        const char* text = bar.label.c_str();
        const double w = glutBitmapLength(kFont, reinterpret_cast<const unsigned char*>(text));
        const double cx = std::min(width - 80.0, width - 4.0 - 0.5 * w);
        const Rect r =
            layout_.placeAside({cx - 0.5 * w, y1 + 8.0, cx + 0.5 * w, y1 + 8.0 + kTextHeight}, 0, kTextHeight, 4);
        if (!r.empty())
            texts_.push_back({r.x0, r.y0 + kTextDescent, text});
    }
}

void Renderer::drawColourBar(const ColourBar& bar, int width, int height)
{
    const double x0 = width - 90.0, x1 = width - 70.0, y0 = 0.2 * height, y1 = 0.8 * height;
    const std::size_t n = bar.rgb.size() / 3;
    glBegin(GL_QUADS);
    for (std::size_t k = 0; k < n; ++k) {
        const double a = y0 + (y1 - y0) * static_cast<double>(k) / n,
                     e = y0 + (y1 - y0) * static_cast<double>(k + 1) / n;
        glColor3ub(bar.rgb[3 * k], bar.rgb[3 * k + 1], bar.rgb[3 * k + 2]);
        glVertex2d(x0, a);
        glVertex2d(x1, a);
        glVertex2d(x1, e);
        glVertex2d(x0, e);
    }
    glEnd();
    const double span = static_cast<double>(bar.hi) - bar.lo;
    glColor3f(1.0f, 1.0f, 1.0f);
    glBegin(GL_LINES);
    for (int t = 0; t < bar.ticks.count; ++t) {
        const double f = span != 0.0 ? (bar.ticks.values[t] - bar.lo) / span : 0.5;
        const double y = std::floor(y0 + f * (y1 - y0)) + 0.5;
        glVertex2d(x1, y);
        glVertex2d(x1 + 6.0, y);
    }
    glEnd();
}

void Renderer::draw(Scene& scene, const Camera& camera, int width, int height, const Overlays& overlays)
{
    width = std::max(width, 1);
    height = std::max(height, 1);
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glPushClientAttrib(GL_CLIENT_ALL_ATTRIB_BITS);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();

    glViewport(0, 0, width, height);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glDisable(GL_DEPTH_TEST);  // drawn in submission order
    glDisable(GL_LIGHTING);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
    glPointSize(1.0f);
    glLineWidth(1.0f);

    const double dx = camera.position.x - camera.target.x, dy = camera.position.y - camera.target.y,
                 dz = camera.position.z - camera.target.z;
    const double distance = std::max(std::sqrt(dx * dx + dy * dy + dz * dz), 1e-6);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(camera.aperture, static_cast<double>(width) / height, distance * 1e-3, distance * 1e3);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    gluLookAt(camera.position.x, camera.position.y, camera.position.z, camera.target.x, camera.target.y,
              camera.target.z, camera.up.x, camera.up.y, camera.up.z);
    glGetDoublev(GL_MODELVIEW_MATRIX, model_);
    glGetDoublev(GL_PROJECTION_MATRIX, projection_);
    glGetIntegerv(GL_VIEWPORT, viewport_);

    // Box edges and ticks join the scene's lines for this draw only.
    std::vector<Vertex>& lines = scene.lines();
    const std::size_t sceneLines = lines.size();
    layout_.clear();
    texts_.clear();
    const Labels& labels = scene.labels();
    if (labels.set)
        layoutTitle(width, height, labels.title);
    const ColourBar& bar = scene.colourBar();
    if (bar.set)
        layoutColourBar(bar, width, height);
    const std::vector<Box>& boxes = scene.boxes();
    if (boxes.empty()) {
        if (labels.set) {  // labels without a box go along the viewport box
            Box frame{};
            std::copy(scene.mapping.viewportLo(), scene.mapping.viewportLo() + 3, frame.lo);
            std::copy(scene.mapping.viewportHi(), scene.mapping.viewportHi() + 3, frame.hi);
            appendBox(lines, frame, &labels);
        }
    } else {
        for (std::size_t i = 0; i < boxes.size(); ++i)
            appendBox(lines, boxes[i], i + 1 == boxes.size() && labels.set ? &labels : nullptr);
    }

    if (scene.imageCount() > 0)
        drawImages(scene);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    drawArray(GL_POINTS, scene.points());
    drawArray(GL_LINES, lines);
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    lines.resize(sceneLines);

    drawTexts(width, height, overlays, bar.set ? &bar : nullptr);

    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glPopClientAttrib();
    glPopAttrib();
}

}  // namespace kestrum::plot
