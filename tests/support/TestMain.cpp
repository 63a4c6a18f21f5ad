#include "Strings/StringTables.h"

#include <QCoreApplication>

#include <gmock/gmock.h>

int main(int argc, char** argv) {
    quillory::Localization::installAllStrings();
    // Tests never depend on the developer's locale, display or settings.
    qputenv("QUILLORY_LANGUAGE", "en");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
