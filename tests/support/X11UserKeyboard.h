#pragma once

// Keys typed "on the user's keyboard" of a private X server, for desktop tests and benchmarks.

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <cstring>

namespace quillory::test {

/// Presses keys through a slave keyboard of the X server that is no XTEST device (under Xvfb:
/// "Xvfb keyboard"), so clients see them come from a keyboard, as a person's keys do. Plain XTest
/// input (`XTestFakeKeyEvent`: our own paste, xdotool) goes through the master's XTEST device
/// instead, which the hotkey listener ignores.
class X11UserKeyboard {
public:
    /// Opens its own connection to $DISPLAY.
    X11UserKeyboard() : display_(XOpenDisplay(nullptr)) {
        if (!display_) {
            return;
        }
        int major = 2, minor = 2;
        if (XIQueryVersion(display_, &major, &minor) != Success) {
            return;
        }
        int count = 0;
        XIDeviceInfo* devices = XIQueryDevice(display_, XIAllDevices, &count);
        for (int i = 0; devices && i < count && !device_; ++i) {
            if (devices[i].use == XISlaveKeyboard && devices[i].name && !std::strstr(devices[i].name, "XTEST")) {
                device_ = XOpenDevice(display_, static_cast<XID>(devices[i].deviceid));
            }
        }
        if (devices) {
            XIFreeDeviceInfo(devices);
        }
    }
    ~X11UserKeyboard() {
        if (device_) {
            XCloseDevice(display_, device_);
        }
        if (display_) {
            XCloseDisplay(display_);
        }
    }
    X11UserKeyboard(const X11UserKeyboard&) = delete;
    X11UserKeyboard& operator=(const X11UserKeyboard&) = delete;

    bool ok() const { return display_ && device_; }
    Display* display() const { return display_; }

    /// The key event, sent and seen by the server when this returns.
    void key(int keycode, bool down) {
        XTestFakeDeviceKeyEvent(display_, device_, static_cast<unsigned>(keycode), down ? True : False, nullptr, 0,
                                CurrentTime);
        XSync(display_, False);
    }
    /// The same without waiting for the server.
    void keyNoWait(int keycode, bool down) {
        XTestFakeDeviceKeyEvent(display_, device_, static_cast<unsigned>(keycode), down ? True : False, nullptr, 0,
                                CurrentTime);
        XFlush(display_);
    }

private:
    Display* display_ = nullptr;
    XDevice* device_ = nullptr;
};

} // namespace quillory::test
