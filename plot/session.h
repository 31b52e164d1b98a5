// The one plotting session of a process: scene, camera and its home, callbacks, and the
// dispatch of ordinary keys, shared by the C interface and the GLUT window layer.
#pragma once

#include "plot/scene.h"

namespace kestrum::plot {

// One degree: the arrow keys' rotation step before the camera-speed factor.
constexpr double kArrowStep = 0.0174532925;

struct Session {
    Scene scene;
    Camera camera, home;
    double cameraSpeed = 1.0;
    void (*frameCallback)(double* t, int* kc) = nullptr;
    int (*keyCallback)(unsigned char* key) = nullptr;
    int spacePresses = 0;
    bool helpShown = false;
};

Session& session();

enum class KeyAction { None, Quit };

// An ordinary key press: Shift+Escape quits before the callback sees it; then the keyboard
// callback may consume or change the key; what it passes on gets the library's own handling.
KeyAction pressKey(Session& s, unsigned char key, bool shiftHeld);

}  // namespace kestrum::plot
