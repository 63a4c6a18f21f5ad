#include "Platform/linux/DisplayServer.h"
#include "Platform/x11/XDisplay.h"

#include <gtest/gtest.h>

using namespace quillory::platform;

namespace {
QProcessEnvironment env(std::initializer_list<std::pair<const char*, const char*>> vars) {
    QProcessEnvironment e;
    for (const auto& [k, v] : vars) {
        e.insert(QString::fromLatin1(k), QString::fromLatin1(v));
    }
    return e;
}
} // namespace

TEST(DisplayServer, SessionTypeFromEnvironment) {
    EXPECT_EQ(displayServerFrom(env({})).type, SessionType::none);
    EXPECT_EQ(describe(displayServerFrom(env({}))), "none");

    const auto x11 = displayServerFrom(env({{"DISPLAY", ":1"}, {"XDG_SESSION_TYPE", "x11"}}));
    EXPECT_EQ(x11.type, SessionType::x11);
    EXPECT_FALSE(x11.waylandSession);

    // Inside Wayland an XWayland display is usable for our own windows, but the session stays a
    // Wayland one: X11 grabs and synthetic keys reach only X clients.
    const auto xwayland = displayServerFrom(env({{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}}));
    EXPECT_EQ(xwayland.type, SessionType::x11);
    EXPECT_TRUE(xwayland.waylandSession);

    const auto pureWayland = displayServerFrom(env({{"XDG_SESSION_TYPE", "Wayland"}}));
    EXPECT_EQ(pureWayland.type, SessionType::wayland);
    EXPECT_TRUE(pureWayland.waylandSession);
}

TEST(XDisplay, OpeningWithoutAServerGivesTheReason) {
    QString why;
    EXPECT_EQ(x11::openDisplay(&why, ""), nullptr);
    EXPECT_EQ(why, "no X display (DISPLAY is not set)");
    EXPECT_EQ(x11::openDisplay(&why, ":4711"), nullptr); // no server listens there
    EXPECT_EQ(why, "cannot open the X display :4711");
    EXPECT_FALSE(x11::hasXInput(nullptr, 2, 2));
}
