// The uinput paste key on a recorded device file, and the Wayland input platform built from the
// desktop choice with fake backends.
#include "Input/InputEngine.h"
#include "Input/uinput/UinputKeyPoster.h"
#include "Input/x11/LinuxInputPlatform.h"
#include "session/SessionFakes.h"
#include "support/CoreTest.h"

#include <gtest/gtest.h>
#include <linux/uinput.h>

using namespace quillory;
using namespace quillory::input;
using quillory::testing::FakeClipboard;
using quillory::testing::FakeKeys;

namespace {

/// A uinput device file that records what the poster asks of it.
class RecordingUinput final : public UinputFile {
public:
    struct Log {
        std::vector<std::pair<unsigned long, int>> controls;
        std::optional<uinput_setup> setup;
        std::vector<input_event> events;
        int failControl = 0;       ///< errno for UI_DEV_CREATE
        int failWriteAfter = -1;   ///< errno EIO once this many writes went through
        int writes = 0;
    };
    explicit RecordingUinput(std::shared_ptr<Log> log) : log_(std::move(log)) {}
    int control(unsigned long request, int argument) override {
        log_->controls.emplace_back(request, argument);
        return request == UI_DEV_CREATE ? log_->failControl : 0;
    }
    int setup(const uinput_setup& s) override {
        log_->setup = s;
        return 0;
    }
    int write(const QByteArray& bytes) override {
        if (log_->failWriteAfter >= 0 && log_->writes >= log_->failWriteAfter) {
            return EIO;
        }
        ++log_->writes;
        EXPECT_EQ(bytes.size() % qsizetype(sizeof(input_event)), 0);
        for (qsizetype at = 0; at + qsizetype(sizeof(input_event)) <= bytes.size(); at += sizeof(input_event)) {
            input_event e;
            std::memcpy(&e, bytes.constData() + at, sizeof e);
            log_->events.push_back(e);
        }
        return 0;
    }

private:
    std::shared_ptr<Log> log_;
};

/// "KEY 29 1", "SYN", ... for the recorded events.
QStringList describe(const std::vector<input_event>& events) {
    QStringList out;
    for (const input_event& e : events) {
        if (e.type == EV_SYN && e.code == SYN_REPORT) {
            out << "SYN";
        } else {
            out << QStringLiteral("%1 %2 %3").arg(e.type == EV_KEY ? "KEY" : "?").arg(e.code).arg(e.value);
        }
    }
    return out;
}

const KeyEvent kDown{9, true, 0x100000};
const KeyEvent kUp{9, false, 0x100000};

TEST(UinputKeyPoster, CreatesAKeyboardAndPressesExactlyCtrlV) {
    auto log = std::make_shared<RecordingUinput::Log>();
    {
        UinputKeyPoster poster(std::make_unique<RecordingUinput>(log));
        ASSERT_TRUE(poster.createEventSource());
        ASSERT_TRUE(poster.createEventSource()); // once
        // A keyboard the compositor takes for one: EV_KEY, the keys from Esc up, then set up and made.
        ASSERT_GE(log->controls.size(), 3u);
        EXPECT_EQ(log->controls.front(), std::make_pair((unsigned long)UI_SET_EVBIT, int(EV_KEY)));
        const auto hasKey = [&](int key) {
            return std::find(log->controls.begin(), log->controls.end(),
                             std::make_pair((unsigned long)UI_SET_KEYBIT, key)) != log->controls.end();
        };
        for (int key : {KEY_ESC, KEY_D, KEY_V, KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_INSERT}) {
            EXPECT_TRUE(hasKey(key)) << key;
        }
        EXPECT_EQ(log->controls.back(), std::make_pair((unsigned long)UI_DEV_CREATE, 0));
        ASSERT_TRUE(log->setup);
        EXPECT_STREQ(log->setup->name, UinputKeyPoster::kDeviceName);
        EXPECT_EQ(log->setup->id.bustype, BUS_VIRTUAL);

        EXPECT_TRUE(poster.createEvent(kDown));
        EXPECT_FALSE(poster.createEvent(KeyEvent{0, true, 0}));
        poster.post(kDown);
        poster.post(kUp);
        EXPECT_EQ(describe(log->events),
                  (QStringList{"KEY 29 1", "SYN", "KEY 47 1", "SYN", "KEY 47 0", "SYN", "KEY 29 0", "SYN"}));

        // A paste cut short (the key went down, the release never came): the next paste releases
        // what the device holds first, so the target sees exactly Ctrl+V again.
        log->events.clear();
        poster.post(kDown);
        poster.post(kDown);
        EXPECT_EQ(describe(log->events), (QStringList{"KEY 29 1", "SYN", "KEY 47 1", "SYN", "KEY 47 0", "SYN",
                                                       "KEY 29 0", "SYN", "KEY 29 1", "SYN", "KEY 47 1", "SYN"}));
        log->events.clear();
    }
    // Gone: its keys are released and the device destroyed.
    EXPECT_EQ(describe(log->events), (QStringList{"KEY 47 0", "SYN", "KEY 29 0", "SYN"}));
    EXPECT_EQ(log->controls.back(), std::make_pair((unsigned long)UI_DEV_DESTROY, 0));
}

TEST(UinputKeyPoster, RefusalsAreFailuresNotSilentPastes) {
    auto log = std::make_shared<RecordingUinput::Log>();
    log->failControl = EPERM;
    {
        UinputKeyPoster poster(std::make_unique<RecordingUinput>(log));
        EXPECT_FALSE(poster.createEventSource());
        EXPECT_TRUE(poster.lastError().startsWith("uinput UI_DEV_CREATE")) << poster.lastError().toStdString();
        EXPECT_THROW(poster.post(kDown), std::runtime_error);
    }
    EXPECT_NE(log->controls.back().first, (unsigned long)UI_DEV_DESTROY); // nothing was made

    // A device that stops taking events mid-paste: the paste fails through the injector, and the
    // clipboard is not left claiming success.
    log = std::make_shared<RecordingUinput::Log>();
    log->failWriteAfter = 1;
    auto poster = std::make_shared<UinputKeyPoster>(std::make_unique<RecordingUinput>(log));
    ASSERT_TRUE(poster->createEventSource());
    auto clipboard = std::make_shared<FakeClipboard>();
    auto trust = std::make_shared<quillory::testing::FakeTrust>();
    ClipboardPasteInjector injector(trust, clipboard, poster);
    EXPECT_FALSE(injector.inject(QStringLiteral("words")));

    // No device file at all.
    QString why;
    EXPECT_EQ(openUinputFile(&why, QStringLiteral("/nonexistent/uinput")), nullptr);
    EXPECT_TRUE(why.startsWith("/nonexistent/uinput: ")) << why.toStdString();
}

// ---- the Wayland input platform from the desktop choice ----

std::shared_ptr<FakeKeys> gProtocolKeys;
std::shared_ptr<FakeClipboard> gProtocolClipboard;
bool gCompositorHasVirtualKeyboard = true;
/// As `createWaylandInputPlatform`: the paste key needs virtual-keyboard, the clipboard alone does not.
LinuxInputPlatform fakeProtocols(bool withPasteKey) {
    LinuxInputPlatform p;
    if (withPasteKey && !gCompositorHasVirtualKeyboard) {
        p.unavailableReason = "the Wayland compositor lacks virtual-keyboard (zwp_virtual_keyboard_manager_v1)";
        return p;
    }
    p.platform.trust = std::make_shared<quillory::testing::FakeTrust>();
    p.platform.keys = withPasteKey ? gProtocolKeys : nullptr;
    p.platform.clipboard = gProtocolClipboard;
    return p;
}

DesktopFacts swayFacts() {
    DesktopFacts f;
    f.session = DesktopFacts::Session::wayland;
    f.currentDesktops = {"sway"};
    f.xDisplay = f.xtest = f.xinput2 = true;
    f.waylandGlobals = {{"zwp_virtual_keyboard_manager_v1", 1}, {"zwlr_data_control_manager_v1", 2}};
    return f;
}

class WaylandInputPlatform : public quillory::testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        gProtocolKeys = std::make_shared<FakeKeys>();
        gProtocolClipboard = std::make_shared<FakeClipboard>();
        gCompositorHasVirtualKeyboard = true;
        factories.protocols = &fakeProtocols;
    }
    void TearDown() override {
        gProtocolKeys.reset();
        gProtocolClipboard.reset();
        CoreTest::TearDown();
    }
    LinuxInputFactories factories;
};

TEST_F(WaylandInputPlatform, TheChosenPathsBackTheEngineAndXTestIsNeverUsed) {
    const auto platform = createLinuxInputPlatform(chooseDesktopBackends(swayFacts(), BuiltBackends::all()), factories);
    EXPECT_TRUE(platform.unavailableReason.isEmpty()) << platform.unavailableReason.toStdString();
    EXPECT_TRUE(platform.platform.trust->isTrusted());
    EXPECT_EQ(platform.platform.keys, gProtocolKeys);
    EXPECT_EQ(platform.platform.clipboard, gProtocolClipboard);
    EXPECT_EQ(platform.connection, nullptr); // no X connection: XTest is not a path here

    // uinput where the compositor has no virtual keyboard.
    DesktopFacts f = swayFacts();
    f.waylandGlobals.remove("zwp_virtual_keyboard_manager_v1");
    f.uinputWritable = true;
    auto uinputKeys = std::make_shared<FakeKeys>();
    factories.uinput = [&](QString*) { return uinputKeys; };
    const auto viaUinput = createLinuxInputPlatform(chooseDesktopBackends(f, BuiltBackends::all()), factories);
    EXPECT_TRUE(viaUinput.platform.trust->isTrusted());
    EXPECT_EQ(viaUinput.platform.keys, uinputKeys);

    // A uinput device that cannot be made: untrusted, with the reason.
    factories.uinput = [](QString* reason) {
        *reason = "uinput UI_DEV_CREATE: Operation not permitted";
        return std::shared_ptr<KeyEventPoster>();
    };
    const auto refused = createLinuxInputPlatform(chooseDesktopBackends(f, BuiltBackends::all()), factories);
    EXPECT_FALSE(refused.platform.trust->isTrusted());
    EXPECT_TRUE(refused.unavailableReason.contains("Operation not permitted")) << refused.unavailableReason.toStdString();
}

TEST_F(WaylandInputPlatform, OnKWinThePortalKeyboardPastesBesideTheDataControlClipboard) {
    // KWin: data-control but no virtual-keyboard; the RemoteDesktop portal presses the key.
    gCompositorHasVirtualKeyboard = false;
    DesktopFacts f = swayFacts();
    f.currentDesktops = {"KDE"};
    f.waylandGlobals = {{"zwlr_data_control_manager_v1", 2}, {"zwlr_layer_shell_v1", 4}};
    f.portals = {{"org.freedesktop.portal.RemoteDesktop", 2}};
    const DesktopBackends choice = chooseDesktopBackends(f, BuiltBackends::all());
    ASSERT_EQ(choice.paste.path, DesktopPaths::remoteDesktopPortal);
    ASSERT_EQ(choice.clipboard.path, DesktopPaths::dataControl);
    auto portalKeys = std::make_shared<FakeKeys>();
    factories.remoteDesktop = [&](QString*) { return portalKeys; };

    const auto platform = createLinuxInputPlatform(choice, factories);
    EXPECT_TRUE(platform.unavailableReason.isEmpty()) << platform.unavailableReason.toStdString();
    EXPECT_TRUE(platform.platform.trust->isTrusted());
    EXPECT_EQ(platform.platform.keys, portalKeys);
    EXPECT_EQ(platform.platform.clipboard, gProtocolClipboard);
    EXPECT_EQ(platform.connection, nullptr);

    InputEngine engine(platform.platform);
    engine.insert(QStringLiteral("話した言葉"));
    EXPECT_EQ(portalKeys->posted.size(), 2u); // Ctrl+V down and up, through the portal
    EXPECT_TRUE(gProtocolKeys->posted.empty());
}

TEST_F(WaylandInputPlatform, OnKWinFakeInputPastesWhereAuthorisedAndThePortalTakesOverWhereNot) {
    gCompositorHasVirtualKeyboard = false;
    DesktopFacts f = swayFacts();
    f.currentDesktops = {"KDE"};
    f.waylandGlobals = {{"zwlr_data_control_manager_v1", 2}, {"org_kde_kwin_fake_input", 4}};
    f.portals = {{"org.freedesktop.portal.RemoteDesktop", 2}};
    const DesktopBackends choice = chooseDesktopBackends(f, BuiltBackends::all());
    ASSERT_EQ(choice.paste.path, DesktopPaths::kdeFakeInput);
    auto fakeInputKeys = std::make_shared<FakeKeys>();
    auto portalKeys = std::make_shared<FakeKeys>();
    int portalSessions = 0;
    QString fakeInputRefusal;
    factories.kdeFakeInput = [&](std::shared_ptr<WaylandConnection>, QString* reason) -> std::shared_ptr<KeyEventPoster> {
        if (!fakeInputRefusal.isEmpty()) {
            *reason = fakeInputRefusal;
            return nullptr;
        }
        return fakeInputKeys;
    };
    factories.remoteDesktop = [&](QString*) {
        ++portalSessions;
        return portalKeys;
    };

    // Authorised: fake-input beside the data-control clipboard, and no portal session is opened.
    const auto platform = createLinuxInputPlatform(choice, factories);
    EXPECT_TRUE(platform.platform.trust->isTrusted()) << platform.unavailableReason.toStdString();
    EXPECT_EQ(platform.platform.keys, fakeInputKeys);
    EXPECT_EQ(platform.platform.clipboard, gProtocolClipboard);
    EXPECT_EQ(platform.backends->paste.path, DesktopPaths::kdeFakeInput);
    EXPECT_EQ(portalSessions, 0);
    InputEngine(platform.platform).insert(QStringLiteral("話した言葉"));
    EXPECT_EQ(fakeInputKeys->posted.size(), 2u);
    EXPECT_TRUE(portalKeys->posted.empty());

    // KWin took fake-input back since it was measured: the portal, with the reason kept.
    fakeInputRefusal = "KWin does not offer fake-input to this program";
    const auto fallback = createLinuxInputPlatform(choice, factories);
    EXPECT_TRUE(fallback.platform.trust->isTrusted());
    EXPECT_EQ(fallback.platform.keys, portalKeys);
    EXPECT_EQ(fallback.backends->paste.path, DesktopPaths::remoteDesktopPortal);
    EXPECT_TRUE(fallback.backends->paste.reason.contains(fakeInputRefusal)) << fallback.backends->paste.reason.toStdString();

    // Nothing to fall back on: untrusted, the words left on the clipboard, never a silent paste.
    f.portals.clear();
    const DesktopBackends alone = chooseDesktopBackends(f, BuiltBackends::all());
    ASSERT_EQ(alone.paste.path, DesktopPaths::kdeFakeInput);
    const auto refused = createLinuxInputPlatform(alone, factories);
    EXPECT_FALSE(refused.platform.trust->isTrusted());
    EXPECT_TRUE(refused.unavailableReason.contains(fakeInputRefusal)) << refused.unavailableReason.toStdString();
    EXPECT_EQ(refused.platform.fallbackClipboard, gProtocolClipboard);
    EXPECT_THROW(InputEngine(refused.platform).insert(QStringLiteral("残す言葉")), InputError);
}

TEST_F(WaylandInputPlatform, WithoutAPasteKeyTheWordsGoToTheClipboardAndNothingClaimsSuccess) {
    // The compositor's clipboard works, but nothing can press a key (no virtual keyboard, no
    // writable /dev/uinput): XWayland's XTest must not stand in.
    DesktopFacts f = swayFacts();
    f.waylandGlobals.remove("zwp_virtual_keyboard_manager_v1");
    const DesktopBackends choice = chooseDesktopBackends(f, BuiltBackends::all());
    ASSERT_FALSE(choice.paste.works());
    const auto platform = createLinuxInputPlatform(choice, factories);
    EXPECT_FALSE(platform.platform.trust->isTrusted());
    EXPECT_EQ(platform.platform.fallbackClipboard, gProtocolClipboard);
    EXPECT_FALSE(platform.unavailableReason.isEmpty());

    InputEngine engine(platform.platform);
    try {
        engine.insert(QStringLiteral("話した言葉"));
        FAIL() << "an insertion without a paste key was reported as done";
    } catch (const InputError& e) {
        EXPECT_EQ(e, InputError::leftOnClipboard());
    }
    EXPECT_EQ(gProtocolClipboard->text(), QStringLiteral("話した言葉"));
    EXPECT_TRUE(gProtocolKeys->posted.empty());
}

} // namespace
