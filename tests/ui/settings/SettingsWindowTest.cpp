// The settings window frame, the launch bridge and the help button.
#include "SettingsTestSupport.h"

#include "Platform/qt/AppActivation.h"
#include "UI/Settings/HelpPopoverButton.h"
#include "UI/Settings/HotkeyTab.h"
#include "UI/Settings/SettingsLaunchBridge.h"
#include "UI/Settings/SettingsWindow.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QFrame>
#include <QFontDatabase>
#include <QGlyphRun>
#include <QRawFont>
#include <QTextLayout>
#include <QLabel>
#include <QLayout>
#include <QScrollArea>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

using namespace quillory;
using namespace quillory::testing;
namespace Bridge = quillory::SettingsLaunchBridge;

namespace {

class SettingsWindowTest : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        AppActivation::setActivationPolicyHandler([this](AppActivation::ActivationPolicy p) { policies.push_back(p); });
    }
    void TearDown() override {
        AppActivation::setActivationPolicyHandler({});
        Bridge::openSettings() = nullptr;
        Bridge::fallbackOpen() = nullptr;
        SettingsTest::TearDown();
    }
    std::vector<AppActivation::ActivationPolicy> policies;
};

TEST_F(SettingsWindowTest, FiveTabsInOrderOnAFixedWindowStartingOnPermissions) {
    auto* window = shown(new SettingsWindow(*state, *backend));
    EXPECT_EQ(window->size(), QSize(420, 560));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    ASSERT_EQ(window->tabs()->count(), 5);
    const QStringList labels = {"Permissions", "Hotkeys", "Dictionary", "Polish", "Chat"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(window->tabs()->tabText(i), labels[i]);
        EXPECT_FALSE(window->tabs()->tabIcon(i).isNull()) << i;
    }
    EXPECT_EQ(window->settingsTab(), SettingsTabSelection::permissions);
    EXPECT_EQ(window->tabWidget(SettingsTabSelection::permissions)->objectName(),
              QStringLiteral("quillory.settings.permissionsTab"));
    EXPECT_TRUE(window->tabWidget(SettingsTabSelection::permissions)->isVisible());

    // Closing returns to tray-only; the next showing starts on the permissions tab again.
    window->setSettingsTab(SettingsTabSelection::dictionary);
    window->close();
    ASSERT_FALSE(policies.empty());
    EXPECT_EQ(policies.back(), AppActivation::ActivationPolicy::accessory);
    window->show();
    EXPECT_EQ(window->settingsTab(), SettingsTabSelection::permissions);
}

// Every tab has the same page: the padded scrolling column of titled cards, nothing else on it
// (the hotkey tab's registration banner aside).
TEST_F(SettingsWindowTest, EveryTabIsAScrollingPageOfTitledCards) {
    auto* window = shown(new SettingsWindow(*state, *backend));
    for (SettingsTabSelection tab : kSettingsTabOrder) {
        window->setSettingsTab(tab);
        QApplication::processEvents();
        QWidget* content = window->tabWidget(tab);
        auto* page = content->findChild<QWidget*>(QStringLiteral("quillory.settings.pageContent"));
        ASSERT_NE(page, nullptr) << labelKey(tab);
        EXPECT_TRUE(qobject_cast<QScrollArea*>(page->parentWidget()->parentWidget())) << labelKey(tab);
        EXPECT_EQ(page->layout()->contentsMargins(), QMargins(12, 12, 12, 12)) << labelKey(tab);
        int cards = 0;
        for (QWidget* child : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (qobject_cast<SettingsSection*>(child)) {
                ++cards;
            } else {
                EXPECT_EQ(child->objectName(), QStringLiteral("quillory.settings.registrationBanner"))
                    << labelKey(tab) << ": " << child->metaObject()->className();
            }
        }
        EXPECT_GE(cards, 2) << labelKey(tab);
    }
}

TEST_F(SettingsWindowTest, TheKeyMonitorListensOnlyWhileTheHotkeyTabIsSelected) {
    auto* window = shown(new SettingsWindow(*state, *backend));
    auto* hotkey = qobject_cast<HotkeyTab*>(window->tabWidget(SettingsTabSelection::hotkey));
    ASSERT_NE(hotkey, nullptr);
    EXPECT_FALSE(hotkey->keyMonitorInstalled());
    window->setSettingsTab(SettingsTabSelection::hotkey);
    EXPECT_TRUE(hotkey->keyMonitorInstalled());
    window->setSettingsTab(SettingsTabSelection::dictionary);
    EXPECT_FALSE(hotkey->keyMonitorInstalled());
    window->setSettingsTab(SettingsTabSelection::hotkey);
    window->close();
    EXPECT_FALSE(hotkey->keyMonitorInstalled());
}

TEST_F(SettingsWindowTest, LaunchBridgeOpensThroughTheInstalledActionOrFallsBack) {
    int opened = 0, fallback = 0;
    Bridge::fallbackOpen() = [&] { ++fallback; };
    Bridge::invoke();
    EXPECT_EQ(fallback, 1); // before the app installed its action
    EXPECT_EQ(AppActivation::activationPolicy(), AppActivation::ActivationPolicy::regular);

    Bridge::openSettings() = [&] { ++opened; };
    Bridge::invoke();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(fallback, 1);
}

TEST_F(SettingsWindowTest, InvokeWhenReadyWaitsForTheActionThenGivesUp) {
    int opened = 0, fallback = 0;
    Bridge::fallbackOpen() = [&] { ++fallback; };
    // Ready after 0.5 s: invoked through the action at the next attempt.
    Bridge::invokeWhenReady(60, std::chrono::milliseconds(50));
    advance(0.5);
    EXPECT_EQ(opened + fallback, 0);
    Bridge::openSettings() = [&] { ++opened; };
    advance(0.05);
    EXPECT_EQ(opened, 1);
    advance(5);
    EXPECT_EQ(opened, 1); // no more attempts after it opened

    // Never ready: after 60 attempts (3 s) it falls back once.
    Bridge::openSettings() = nullptr;
    Bridge::invokeWhenReady(60, std::chrono::milliseconds(50));
    advance(2.95);
    EXPECT_EQ(fallback, 0);
    advance(0.05);
    EXPECT_EQ(fallback, 1);
    advance(5);
    EXPECT_EQ(fallback, 1);

    // No attempts: at once.
    Bridge::invokeWhenReady(0, std::chrono::milliseconds(50));
    EXPECT_EQ(fallback, 2);
}

TEST_F(SettingsWindowTest, HelpPopoverArrowPointsAtItsButtonBelowAndAbove) {
    auto* host = shown(new QWidget);
    host->setGeometry(200, 100, 300, 200);
    auto* button = new HelpPopoverButton(QStringLiteral("Some help for this section."), host);
    button->move(250, 20); // near the host's right edge: the bubble is not centred on it
    button->show();
    button->present();
    HelpPopover* popover = button->popover();
    const QPoint middle = button->mapToGlobal(QPoint(button->width() / 2, 0));
    auto check = [&](bool up) {
        ASSERT_EQ(popover->arrowPointsUp(), up);
        const QPoint tip = popover->mapToGlobal(popover->arrowTip());
        EXPECT_NEAR(tip.x(), middle.x(), 1);
        EXPECT_EQ(tip.y(), up ? middle.y() + button->height() : middle.y() - 1);
        // The arrow is part of the bubble's shape; the corner beside it is not.
        const int inside = up ? HelpPopover::arrowHeight / 2 + 1 : popover->height() - HelpPopover::arrowHeight / 2 - 2;
        EXPECT_TRUE(popover->mask().contains(QPoint(popover->arrowTip().x(), inside)));
        EXPECT_FALSE(popover->mask().contains(QPoint(0, up ? 0 : popover->height() - 1)));
        // The text sits in the body, clear of the arrow.
        const QRect text = popover->findChild<QLabel*>()->geometry();
        EXPECT_GE(up ? text.top() : popover->height() - text.bottom(), HelpPopover::arrowHeight + 12);
    };
    check(true);
    popover->hide();
    // At the bottom of the screen the bubble opens above, its arrow pointing down.
    const QRect area = host->screen()->availableGeometry();
    host->move(200, area.bottom() - 60);
    QApplication::processEvents();
    button->present();
    const QPoint moved = button->mapToGlobal(QPoint(button->width() / 2, 0));
    const_cast<QPoint&>(middle) = moved;
    check(false);
}

TEST_F(SettingsWindowTest, HelpPopoverWrapsLongTextsAt440) {
    QString longText;
    for (int i = 0; i < 40; ++i) {
        longText += QStringLiteral("A long help sentence that keeps going. ");
    }
    auto* host = shown(new QWidget);
    auto* button = new HelpPopoverButton(longText, host);
    button->show();
    EXPECT_EQ(button->accessibleName(), QStringLiteral("Show help"));
    EXPECT_FALSE(button->isPresented());
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(button->isPresented());
    auto* label = button->popover()->findChild<QLabel*>();
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), longText);
    EXPECT_LE(label->width(), 440);
    EXPECT_GT(label->height(), 5 * label->fontMetrics().height()); // wrapped onto many lines
    EXPECT_LE(button->popover()->width(), 440 + 2 * 12 + 4);

    // A short text takes only the width it needs.
    auto* shortButton = new HelpPopoverButton(QStringLiteral("Short."), host);
    shortButton->present();
    EXPECT_LT(shortButton->popover()->findChild<QLabel*>()->width(), 200);
}

/// The fonts the glyphs of `text` come from when laid out in `font`.
QStringList fontsDrawing(const QString& text, const QFont& font) {
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    QStringList names;
    for (const QGlyphRun& run : layout.glyphRuns()) {
        names << run.rawFont().familyName() + "/" + run.rawFont().styleName();
    }
    return names;
}

// Japanese headings keep a real bold face and Latin stays proportional, also where the desktop's
// Japanese font (IPA Gothic) has neither; checked under a Japanese locale by the _ja runs.
TEST(UiFontTest, JapaneseHeadingsAreBoldAndLatinIsProportional) {
    ASSERT_TRUE(QFontDatabase::families().contains(QStringLiteral("Noto Sans CJK JP")))
        << "fonts-noto-cjk is installed by scripts/deps.sh";
    const QFont before = QApplication::font();
    applyPreferredUiFont();
    QFont heading = QApplication::font();
    heading.setWeight(QFont::DemiBold);
    const QStringList drawn = fontsDrawing(QStringLiteral("音声入力の設定"), heading);
    ASSERT_FALSE(drawn.isEmpty());
    for (const QString& face : drawn) {
        EXPECT_TRUE(face.startsWith(QStringLiteral("Noto Sans CJK JP/")) && face != "Noto Sans CJK JP/Regular")
            << face.toStdString();
    }
    const QFontMetrics latin(QApplication::font());
    EXPECT_LT(latin.horizontalAdvance(QStringLiteral("iiii")), latin.horizontalAdvance(QStringLiteral("MMMM")));
    QApplication::setFont(before);
}

} // namespace
