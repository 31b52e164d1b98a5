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

// Text widths in the GLUT font that draws the labels.
class GlutTextWidth : public TextWidth {
public:
    double operator()(const char* text) const override
    {
        return glutBitmapLength(kFont, reinterpret_cast<const unsigned char*>(text));
    }
};

void drawArray(GLenum mode, const std::vector<Vertex>& v)
{
    if (v.empty())
        return;
    glVertexPointer(3, GL_FLOAT, sizeof(Vertex), &v[0].x);
    glColorPointer(4, GL_UNSIGNED_BYTE, sizeof(Vertex), &v[0].r);
    glDrawArrays(mode, 0, static_cast<GLsizei>(v.size()));
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
    for (const PlacedText& t : annotation_.texts())
        drawString(kFont, t.x, t.y, t.text);

    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    if (overlays.help) {
        double w = 0.0;
        for (int i = 0; i < kHelpLineCount; ++i)
            w = std::max(w,
                         static_cast<double>(
                             glutBitmapLength(kHelpFont, reinterpret_cast<const unsigned char*>(kHelpLines[i]))));
        const HelpPanel p = helpPanel(height, w);
        drawShade(p.x0, p.y0, p.x1, p.y1, HelpPanel::kShade);
        glColor3f(1.0f, 1.0f, 0.6f);
        for (int i = 0; i < kHelpLineCount; ++i)
            drawString(kHelpFont, p.textX, p.firstBaseline - i * HelpPanel::kLineHeight, kHelpLines[i]);
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

void Renderer::drawColourBar(const ColourBar& bar, int width, int height)
{
    const ColourBarPlace place = colourBarPlace(width, height);
    const double x0 = place.x0, x1 = place.x1, y0 = place.y0, y1 = place.y1;
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
    glColor3f(1.0f, 1.0f, 1.0f);
    glBegin(GL_LINES);
    for (int t = 0; t < bar.ticks.count; ++t) {
        const double y = std::floor(place.tickY(bar, t)) + 0.5;
        glVertex2d(x1, y);
        glVertex2d(place.tickEnd, y);
    }
    glEnd();
}

void Renderer::draw(const Scene& scene, const Camera& camera, int width, int height, const Overlays& overlays)
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

    annotation_.layout(scene, ViewTransform(camera, width, height), GlutTextWidth());

    if (scene.imageCount() > 0)
        drawImages(scene);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    drawArray(GL_POINTS, scene.points());
    drawArray(GL_LINES, scene.lines());
    drawArray(GL_LINES, annotation_.lines());
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);

    const ColourBar& bar = scene.colourBar();
    drawTexts(width, height, overlays, bar.set ? &bar : nullptr);

    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glPopClientAttrib();
    glPopAttrib();
}

}  // namespace kestrum::plot
