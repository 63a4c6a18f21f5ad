#pragma once
// What the live tests that show and click the overlay (sway, KWin) share: a panel with one button
// on a layer surface of the app's kind, counting the button's clicks, and their main.

#include "Platform/qt/OverlaySurface.h"
#include "Strings/StringTables.h"
#include "UI/Overlay/OverlayPanel.h"

#include <QApplication>
#include <QScreen>
#include <QToolButton>
#include <QWidget>

#include <gmock/gmock.h>

#include <cstdio>
#include <vector>

namespace quillory::test {

/// A panel like the overlay's status panels (160×48, its cancel × on the right) on a surface of
/// `surfaces`, ordered front at (400, 500).
class OverlayClickPanel {
public:
    explicit OverlayClickPanel(platform::OverlaySurfaces& surfaces)
        : button_(new QToolButton(makeContent())),
          panel_(QStringLiteral("quillory.test.click"), button_->parentWidget(),
                 surfaces.createSurface(QStringLiteral("quillory.test.click"))) {
        button_->setText(QStringLiteral("\u00d7"));
        button_->setGeometry(104, 4, 40, 40);
        QObject::connect(button_, &QToolButton::clicked, [this] { ++clicks_; });
        panel_.move(400, 500);
        panel_.orderFront();
    }

    bool isMapped() const { return panel_.surface() && panel_.surface()->isMapped(); }
    int clicks() const { return clicks_; }
    /// The button's centre on the compositor's output (the surface is placed from its top left).
    QPoint buttonCentre() const {
        return panel_.pos() + button_->mapTo(&panel_, button_->rect().center()) -
               (panel_.screen() ? panel_.screen()->geometry().topLeft() : QPoint());
    }

private:
    static QWidget* makeContent() {
        auto* content = new QWidget;
        content->setFixedSize(160, 48);
        return content;
    }

    QToolButton* button_;
    OverlayPanel panel_;
    int clicks_ = 0;
};

/// The main of such a test: its tests run only inside `script`'s desktop (XDG_CURRENT_DESKTOP
/// `desktop`), in English, with widgets on the offscreen platform (what shows is their layer
/// surface) — given as an argument, not in the environment, which the programs the tests start
/// inherit.
inline int runOverlayClickTests(int argc, char** argv, const char* desktop, const char* script) {
    qputenv("QUILLORY_LANGUAGE", "en");
    if (qEnvironmentVariableIsEmpty("QUILLORY_DESKTOP_SESSION") ||
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qgetenv("XDG_CURRENT_DESKTOP") != desktop) {
        std::fprintf(stderr, "these desktop tests run inside %s\n", script);
        return 2;
    }
    quillory::Localization::installAllStrings();
    static char platformOption[] = "-platform";
    static char offscreen[] = "offscreen";
    std::vector<char*> args(argv, argv + argc);
    args.insert(args.begin() + 1, {platformOption, offscreen});
    int count = int(args.size());
    args.push_back(nullptr);
    QApplication app(count, args.data());
    ::testing::InitGoogleMock(&count, args.data());
    return RUN_ALL_TESTS();
}

} // namespace quillory::test
