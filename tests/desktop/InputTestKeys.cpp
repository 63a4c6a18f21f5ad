#include "InputTestKeys.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace quillory::test {

namespace {
Display* display() {
    static Display* d = XOpenDisplay(nullptr);
    return d;
}
} // namespace

int keycodeOf(const char* keysymName) {
    return XKeysymToKeycode(display(), XStringToKeysym(keysymName));
}

void fakeKey(const char* keysymName, bool down) {
    XTestFakeKeyEvent(display(), static_cast<unsigned>(keycodeOf(keysymName)), down ? True : False, CurrentTime);
    XSync(display(), False);
}

bool isKeyDown(const char* keysymName) {
    char keys[32] = {};
    XQueryKeymap(display(), keys);
    const int code = keycodeOf(keysymName);
    return (keys[code / 8] & (1 << (code % 8))) != 0;
}

} // namespace quillory::test
