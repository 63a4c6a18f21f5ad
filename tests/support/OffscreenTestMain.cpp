#include "Strings/StringTables.h"

#include <QApplication>

#include <gmock/gmock.h>

// Tests with real Qt windows that need no display: the offscreen platform.
int main(int argc, char** argv) {
    quillory::Localization::installAllStrings();
    qputenv("QUILLORY_LANGUAGE", "en");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
