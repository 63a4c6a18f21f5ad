// Window activation over real Qt windows on the offscreen platform.
#include "Platform/qt/AppActivation.h"
#include "Runtime/Scheduler.h"

#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QWidget>
#include <QWindow>

#include <gtest/gtest.h>

#include <memory>

using namespace quillory;
namespace A = quillory::AppActivation;

namespace {

/// A window of the tray's kind: its class name says "StatusBar".
class TrayStatusBarWindow : public QWidget {
    Q_OBJECT
};

class AppActivationTest : public ::testing::Test {
protected:
    void SetUp() override {
        scoped_ = std::make_unique<ScopedScheduler>(clock_);
        previous_ =
            A::setWindowActions({[this](QWindow* w) { raised << w; }, [this](QWindow* w) { madeKey << w; },
                                 [this](QWindow* w) {
                                     closed << w;
                                     w->close();
                                 }});
        A::setActivationPolicyHandler([this](A::ActivationPolicy p) { policies << p; });
        A::restoreMenuBarOnlyAppearance();
        policies.clear();
    }
    void TearDown() override {
        windows_.clear();
        A::setWindowActions(previous_);
        A::setActivationPolicyHandler({});
        scoped_.reset();
    }

    /// A shown top-level widget of the given width; its QWindow.
    QWindow* show(QWidget* widget, int width) {
        windows_.emplace_back(widget);
        widget->resize(width, 320);
        widget->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(widget));
        return widget->windowHandle();
    }
    QWindow* settingsWindow(int width = 520) { return show(new QWidget, width); }
    QWindow* sheetOn(QWindow* parent, const QString& name = {}) {
        QWidget* owner = nullptr;
        for (auto& w : windows_) {
            if (w->windowHandle() == parent) {
                owner = w.get();
            }
        }
        auto* dialog = new QDialog(owner);
        dialog->setObjectName(name);
        dialog->setWindowModality(Qt::WindowModal);
        // Owned by its parent; shown like the rest.
        dialog->resize(300, 200);
        dialog->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog));
        return dialog->windowHandle();
    }

    VirtualScheduler clock_;
    std::unique_ptr<ScopedScheduler> scoped_;
    A::WindowActions previous_;
    std::vector<std::unique_ptr<QWidget>> windows_;
    QList<QWindow*> raised;
    QList<QWindow*> madeKey;
    QList<QWindow*> closed;
    QList<A::ActivationPolicy> policies;
};

} // namespace

TEST_F(AppActivationTest, OverlaysAndTheTrayAreNeverRaised) {
    auto* status = new QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    status->setObjectName(A::kInputStatusPanelIdentifier);
    auto* transcript = new QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint);
    transcript->setProperty(A::kIdentifierProperty, QString::fromLatin1(A::kInputTranscriptPanelIdentifier));
    auto* nonActivating = new QWidget(nullptr, Qt::Tool | Qt::WindowDoesNotAcceptFocus);
    auto* menu = new QWidget(nullptr, Qt::Popup);
    // Every one of them is settings-sized: only the exclusions keep them out.
    for (QWindow* w : {show(status, 480), show(transcript, 480), show(nonActivating, 480),
                       show(new TrayStatusBarWindow, 480), show(menu, 480)}) {
        EXPECT_FALSE(A::participatesInSettingsReveal(w));
    }

    A::bringAppToFrontForPermissions();
    EXPECT_TRUE(raised.isEmpty());
    EXPECT_TRUE(madeKey.isEmpty());
    EXPECT_EQ(A::activationPolicy(), A::ActivationPolicy::regular);
    EXPECT_EQ(A::primarySettingsHostWindow(), nullptr);
}

TEST_F(AppActivationTest, OnlyWindowsInTheSettingsWidthBandAreRaised) {
    QWindow* tooNarrow = settingsWindow(399);
    QWindow* narrowest = settingsWindow(400);
    QWindow* widest = settingsWindow(540);
    QWindow* tooWide = settingsWindow(560);

    A::bringAppToFrontForPermissions();
    EXPECT_EQ(raised, (QList<QWindow*>{narrowest, widest}));
    // The newest settings-sized window becomes key.
    EXPECT_EQ(madeKey, QList<QWindow*>{widest});
    EXPECT_EQ(A::primarySettingsHostWindow(), widest);
    Q_UNUSED(tooNarrow);
    Q_UNUSED(tooWide);
}

TEST_F(AppActivationTest, AVisibleSheetBecomesKeyRatherThanItsWindow) {
    QWindow* settings = settingsWindow();
    QWindow* first = sheetOn(settings, "first");
    QWindow* second = sheetOn(settings, "second");
    EXPECT_TRUE(A::isSheet(first));
    EXPECT_FALSE(A::isSettingsSized(first));
    EXPECT_FALSE(A::isSheet(settings));

    A::bringAppToFrontForPermissions();
    EXPECT_EQ(raised, (QList<QWindow*>{settings, first, second}));
    EXPECT_EQ(madeKey, QList<QWindow*>{second});

    // A hidden sheet is no candidate: the newest visible one is.
    second->hide();
    madeKey.clear();
    A::bringAppToFrontForPermissions();
    EXPECT_EQ(madeKey, QList<QWindow*>{first});
}

TEST_F(AppActivationTest, MenuToggleClosesOnlyAVisibleUnminimisedSettingsWindow) {
    EXPECT_FALSE(A::closePrimarySettingsWindowIfVisibleForMenuToggle()); // none at all

    QWindow* settings = settingsWindow();
    A::bringSettingsToFront();
    policies.clear();
    settings->showMinimized();
    EXPECT_FALSE(A::closePrimarySettingsWindowIfVisibleForMenuToggle());
    EXPECT_TRUE(closed.isEmpty());
    EXPECT_TRUE(policies.isEmpty()); // the policy is left alone
    EXPECT_EQ(A::activationPolicy(), A::ActivationPolicy::regular);

    settings->showNormal();
    EXPECT_TRUE(A::closePrimarySettingsWindowIfVisibleForMenuToggle());
    EXPECT_EQ(closed, QList<QWindow*>{settings});
    EXPECT_FALSE(settings->isVisible());
    EXPECT_EQ(A::activationPolicy(), A::ActivationPolicy::accessory);
    // Closed now: a second toggle has nothing to close.
    EXPECT_FALSE(A::closePrimarySettingsWindowIfVisibleForMenuToggle());
}

TEST_F(AppActivationTest, RevealAndRefocusRepeatOnVirtualTime) {
    settingsWindow();
    A::scheduleSettingsWindowReveal();
    EXPECT_EQ(madeKey.size(), 1); // at once
    clock_.advance(std::chrono::milliseconds(119));
    EXPECT_EQ(madeKey.size(), 1);
    clock_.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(madeKey.size(), 2);

    madeKey.clear();
    A::refocusWindowsAfterPermissionSheet();
    EXPECT_TRUE(madeKey.isEmpty()); // the next turn of the loop, not now
    clock_.runPending();
    EXPECT_EQ(madeKey.size(), 1);
    clock_.advance(std::chrono::milliseconds(199));
    EXPECT_EQ(madeKey.size(), 1);
    clock_.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(madeKey.size(), 2);
    EXPECT_EQ(clock_.pendingCount(), 0u);
}

TEST_F(AppActivationTest, QtActivationGivesTheSettingsWindowFocus) {
    A::setWindowActions({});
    QWindow* other = settingsWindow(600); // not settings-sized
    QWindow* settings = settingsWindow();
    other->requestActivate();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QGuiApplication::focusWindow() == other; }, 2000));

    A::bringAppToFrontForPermissions();
    EXPECT_TRUE(QTest::qWaitFor([&] { return QGuiApplication::focusWindow() == settings; }, 2000));
}

#include "AppActivationTest.moc"
