// KWin's fake-input paste key on a recorded channel: it authenticates before any key (KWin drops
// the keys of an object that did not), and a path KWin does not offer or does not take never
// counts as a delivered paste.
#include "Input/InputEngine.h"
#include "Input/kde/FakeInputKeyPoster.h"
#include "session/SessionFakes.h"
#include "support/CoreTest.h"

#include <gtest/gtest.h>

using namespace quillory;
using namespace quillory::input;
using quillory::testing::FakeClipboard;

namespace {

/// A fake-input object that records the requests and answers round trips as told.
class RecordingChannel final : public FakeInputChannel {
public:
    bool offered() const override { return offer; }
    void authenticate(const QString& application, const QString&) override {
        requests << QStringLiteral("authenticate %1").arg(application);
        authenticated = true;
    }
    void key(quint32 code, bool pressed) override {
        requests << QStringLiteral("key %1 %2").arg(code).arg(pressed ? "down" : "up");
        // What KWin does: keys of an object that has not authenticated go nowhere.
        if (authenticated) {
            delivered << requests.back();
        }
    }
    bool sync() override {
        requests << QStringLiteral("sync");
        return syncOk;
    }
    bool offer = true;
    bool syncOk = true;
    bool authenticated = false;
    QStringList requests;
    QStringList delivered;
};

const KeyEvent kDown{ClipboardPasteInjector::kVirtualKeyV, true, ClipboardPasteInjector::kCommandFlag};
const KeyEvent kUp{ClipboardPasteInjector::kVirtualKeyV, false, ClipboardPasteInjector::kCommandFlag};

class FakeInputPaste : public quillory::testing::CoreTest {
protected:
    /// The engine over the poster, as the KDE platform puts them together.
    InputPlatform platform(std::shared_ptr<KeyEventPoster> keys) {
        InputPlatform p;
        p.trust = std::make_shared<quillory::testing::FakeTrust>();
        p.clipboard = clipboard;
        p.keys = std::move(keys);
        return p;
    }
    std::shared_ptr<RecordingChannel> channel = std::make_shared<RecordingChannel>();
    std::shared_ptr<FakeClipboard> clipboard = std::make_shared<FakeClipboard>();
};

TEST_F(FakeInputPaste, AuthenticatesOnceBeforeAnyKeyAndEveryPasteIsExactlyCtrlV) {
    auto poster = std::make_shared<FakeInputKeyPoster>(channel);
    InputEngine engine(platform(poster));
    engine.insert(QStringLiteral("一回目"));
    engine.insert(QStringLiteral("二回目"));
    const QStringList paste{"key 29 down", "key 47 down", "key 47 up", "key 29 up"};
    const QStringList expected = QStringList{"authenticate Quillory", "sync"} + paste + QStringList{"sync"} + paste +
                                 QStringList{"sync"};
    EXPECT_EQ(channel->requests, expected);
    EXPECT_EQ(channel->delivered, paste + paste) << "a key went out before authenticate: KWin dropped it";
    EXPECT_TRUE(poster->isAuthorised());
    EXPECT_TRUE(poster->lastError().isEmpty());

    // A key-down while a paste key is still held releases it first.
    channel->requests.clear();
    poster->post(kDown);
    poster->post(kDown);
    const QStringList again{"key 29 down", "key 47 down", "key 47 up", "key 29 up", "key 29 down", "key 47 down"};
    EXPECT_EQ(channel->requests, again);
    // Nothing but the paste key exists here.
    EXPECT_FALSE(poster->createEvent(KeyEvent{5, true, ClipboardPasteInjector::kCommandFlag}));
    EXPECT_FALSE(poster->createEvent(KeyEvent{ClipboardPasteInjector::kVirtualKeyV, true, 0}));
}

TEST_F(FakeInputPaste, APathKWinDoesNotOfferOrDoesNotTakeIsNeverADeliveredPaste) {
    // Not offered (not authorised): nothing is bound or sent, and the reason names the fix.
    channel->offer = false;
    QString why;
    {
        auto poster = std::make_shared<FakeInputKeyPoster>(channel);
        EXPECT_FALSE(poster->createEventSource());
        EXPECT_TRUE(poster->lastError().contains("X-KDE-Wayland-Interfaces")) << poster->lastError().toStdString();
        InputEngine engine(platform(poster));
        EXPECT_THROW(engine.insert(QStringLiteral("届かない言葉")), InputError);
        EXPECT_TRUE(channel->requests.isEmpty()) << channel->requests.join(", ").toStdString();
    }

    // The authenticate request not taken (the connection died): not authorised, no key.
    channel->offer = true;
    channel->syncOk = false;
    {
        auto poster = std::make_shared<FakeInputKeyPoster>(channel);
        EXPECT_FALSE(poster->createEventSource());
        EXPECT_FALSE(poster->isAuthorised());
        InputEngine engine(platform(poster));
        EXPECT_THROW(engine.insert(QStringLiteral("届かない言葉")), InputError);
        EXPECT_FALSE(channel->requests.join(' ').contains("key")) << channel->requests.join(", ").toStdString();
    }

    // Authorised, then the keys are not taken: the paste failed, and the next one does not go out.
    channel->requests.clear();
    channel->syncOk = true;
    auto poster = std::make_shared<FakeInputKeyPoster>(channel);
    InputEngine engine(platform(poster));
    channel->syncOk = true;
    ASSERT_TRUE(poster->createEventSource());
    channel->syncOk = false;
    EXPECT_THROW(engine.insert(QStringLiteral("途中で切れた")), InputError);
    EXPECT_FALSE(poster->isAuthorised());
    EXPECT_FALSE(poster->createEvent(kDown));

    // KWin took the global back after authorising: no key is counted as pressed.
    channel->syncOk = true;
    channel->offer = true;
    auto second = std::make_shared<FakeInputKeyPoster>(channel);
    ASSERT_TRUE(second->createEventSource());
    channel->offer = false;
    EXPECT_FALSE(second->createEvent(kDown));
    EXPECT_THROW(second->post(kUp), std::runtime_error);
}

} // namespace
