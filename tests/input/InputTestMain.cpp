#include "Strings/StringTables.h"

#include <QGuiApplication>

#include <gmock/gmock.h>

int main(int argc, char** argv) {
    quillory::Localization::installAllStrings();
    qputenv("QUILLORY_LANGUAGE", "en");
    // Qt's in-process clipboard; no display, no accessibility bus of the developer's session.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS"}) {
        qunsetenv(name);
    }
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
