#include "Strings/StringTables.h"

#include <QApplication>

#include <gmock/gmock.h>

#include <cstdio>

// Desktop tests run inside scripts/desktop-session.sh, which provides a private X display,
// session bus and sound server. Started on their own they refuse to run rather than touch the
// developer's desktop.
int main(int argc, char** argv) {
    quillory::Localization::installAllStrings();
    qputenv("QUILLORY_LANGUAGE", "en");
    if (qEnvironmentVariableIsEmpty("QUILLORY_DESKTOP_SESSION")) {
        std::fprintf(stderr, "desktop tests run inside scripts/desktop-session.sh\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
