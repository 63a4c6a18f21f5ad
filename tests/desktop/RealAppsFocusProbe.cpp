// What our accessibility layer finds in the focused field of the desktop, as the app asks at the
// start of a dictation. A separate program so that the test asking can bound it and kill it.
//
//   realapps_focus_probe ROLE
//
// Asks until the focused element has the role ROLE ("AXTextField", "AXSecureTextField", ...), for
// 15 s at most, then prints one line: "role=<role> value=<base64 | unread | absent>
// baseline=<base64 | none>" (value: the element's AXValue; baseline: what a live dictation would
// start from), or "none" when no element was found. Exit status 0 when ROLE was found.
#include "Input/InputEngine.h"
#include "Input/x11/LinuxInputPlatform.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTest>

#include <cstdio>

using namespace quillory;

namespace {

QByteArray shown(const std::optional<QVariant>& v) {
    if (!v) {
        return "unread";
    }
    if (!v->isValid()) {
        return "absent";
    }
    return v->toString().toUtf8().toBase64();
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: realapps_focus_probe ROLE\n");
        return 2;
    }
    const QString wanted = QString::fromUtf8(argv[1]);
    input::LinuxInputPlatform desktop = input::createLinuxInputPlatform();
    if (!desktop.unavailableReason.isEmpty()) {
        std::printf("unavailable %s\n", qPrintable(desktop.unavailableReason));
        return 2;
    }
    QElapsedTimer clock;
    clock.start();
    QByteArray last = "none";
    while (clock.elapsed() < 15000) {
        if (const auto element = desktop.platform.focus->focusedElement()) {
            const auto role = element->attribute(QStringLiteral("AXRole"));
            const QString name = role && role->isValid() ? role->toString() : QStringLiteral("?");
            last = "role=" + name.toUtf8() + " value=" + shown(element->attribute(QStringLiteral("AXValue")));
            if (name == wanted) {
                InputEngine engine(desktop.platform);
                const std::optional<QString> baseline = engine.captureBaselineForLiveDictation();
                std::printf("%s baseline=%s\n", last.constData(), baseline ? baseline->toUtf8().toBase64().constData() : "none");
                return 0;
            }
        }
        QTest::qWait(100);
    }
    std::printf("%s\n", last.constData());
    return 1;
}
