// Keyboard dispatch of the plotting session: callback first, then the library's own keys.
#include "plot/session.h"

namespace kestrum::plot {

Session& session()
{
    static Session s;
    return s;
}

KeyAction pressKey(Session& s, unsigned char key, bool shiftHeld)
{
    constexpr unsigned char kEscape = 27;
    if (key == kEscape && shiftHeld)
        return KeyAction::Quit;
    if (s.keyCallback != nullptr && s.keyCallback(&key) != 0)
        return KeyAction::None;
    switch (key) {
    case 'Q':
        return KeyAction::Quit;
    case 'h':
    case 'H':
        s.camera = s.home;
        break;
    case '+':
        zoom(s.camera, 1.0 / 1.1);
        break;
    case '-':
        zoom(s.camera, 1.1);
        break;
    case '<':
        s.cameraSpeed = s.cameraSpeed > 1.0 / 64 ? s.cameraSpeed / 2 : s.cameraSpeed;
        break;
    case '>':
        s.cameraSpeed = s.cameraSpeed < 64.0 ? s.cameraSpeed * 2 : s.cameraSpeed;
        break;
    case ' ':
        ++s.spacePresses;
        break;
    default:
        break;
    }
    return KeyAction::None;
}

}  // namespace kestrum::plot
