// GNOME's remote desktop session as paste key and clipboard, on a fake session bus: the paste
// presses exactly Ctrl+V, the user's clipboard comes back only if unchanged, a closed session is
// opened again or fails loudly.
#include "Input/TextInjector.h"
#include "Input/gnome/MutterRemoteDesktop.h"
#include "Input/x11/LinuxInputPlatform.h"
#include "support/CoreTest.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace quillory;
using namespace quillory::input;

namespace {

/// What the fake session saw and what it answers.
struct FakeMutter {
    int opens = 0;
    int closes = 0;
    bool refuseOpen = false;
    int refuseKeysAfter = -1; ///< keysym calls that go through before the session stops answering
    int busyReads = 0; ///< reads refused as "in parallel" while mutter ends the previous one
    std::vector<QString> keys; ///< "+Control_L", "-v", ...
    std::vector<QStringList> selections;
    QStringList ownerTypes;    ///< another owner's types (empty: nobody)
    QByteArray ownerData;      ///< what that owner hands over for any of its types
    std::vector<std::pair<quint32, bool>> writesDone;
    QStringList reads;
    bool sessionOwns = false;
    MutterSessionBus::Events events;

    /// A client reads our selection: the bytes we hand over.
    QByteArray request(const QString& type, quint32 serial);
    /// Another application takes the clipboard.
    void otherOwner(const QStringList& types, const QByteArray& data) {
        ownerTypes = types;
        ownerData = data;
        sessionOwns = false;
        events.ownerChanged(types, false);
    }
    int pendingWrite = -1; ///< read end of the latest SelectionWrite pipe
    std::vector<QStringList> echoes; ///< SelectionOwnerChanged signals of our writes, not yet delivered
    /// What mutter signals for each SetSelection, as the event loop would hand it on.
    void deliverEchoes() {
        for (const QStringList& types : std::exchange(echoes, {})) {
            events.ownerChanged(types, !types.isEmpty());
        }
    }
};

class FakeBus final : public MutterSessionBus {
public:
    explicit FakeBus(FakeMutter* m) : m_(m) {}
    Expected<> open(Events events) override {
        ++m_->opens;
        if (m_->refuseOpen) {
            return Failure{"org.gnome.Mutter.RemoteDesktop is not on the bus"};
        }
        m_->events = std::move(events);
        if (m_->refuseKeysAfter == 0) {
            m_->refuseKeysAfter = -1; // a fresh session answers again
        }
        return {};
    }
    void close() override { ++m_->closes; }
    Expected<> keysym(quint32 keysym, bool down) override {
        if (m_->refuseKeysAfter == 0) {
            return Failure{"Object does not exist"};
        }
        if (m_->refuseKeysAfter > 0) {
            --m_->refuseKeysAfter;
        }
        const QString name = keysym == MutterRemoteDesktop::kControlL ? "Control_L"
                             : keysym == MutterRemoteDesktop::kKeyV   ? "v"
                                                                      : QString::number(keysym, 16);
        m_->keys.push_back((down ? "+" : "-") + name);
        return {};
    }
    Expected<> setSelection(const QStringList& types) override {
        m_->selections.push_back(types);
        // mutter signals a change of owner only: giving up a clipboard we do not own does nothing.
        if (!types.isEmpty() || m_->sessionOwns) {
            m_->echoes.push_back(types);
        }
        m_->sessionOwns = !types.isEmpty();
        m_->ownerTypes.clear();
        return {};
    }
    Expected<int> selectionWrite(quint32) override {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return Failure{"no pipe"};
        }
        m_->pendingWrite = fds[0];
        return fds[1];
    }
    void selectionWriteDone(quint32 serial, bool ok) override { m_->writesDone.emplace_back(serial, ok); }
    Expected<int> selectionRead(const QString& type) override {
        if (m_->ownerTypes.isEmpty()) {
            return Failure{"No selection owner available"};
        }
        if (m_->busyReads > 0) {
            --m_->busyReads;
            return Failure{"Tried to read in parallel"};
        }
        m_->reads << type;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return Failure{"no pipe"};
        }
        EXPECT_EQ(::write(fds[1], m_->ownerData.constData(), size_t(m_->ownerData.size())), m_->ownerData.size());
        ::close(fds[1]);
        return fds[0];
    }

private:
    FakeMutter* m_;
};

QByteArray FakeMutter::request(const QString& type, quint32 serial) {
    pendingWrite = -1;
    events.transfer(type, serial);
    QByteArray bytes;
    if (pendingWrite >= 0) {
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(pendingWrite, chunk, sizeof chunk)) > 0) {
            bytes.append(chunk, n);
        }
        ::close(pendingWrite);
    }
    return bytes;
}

const QStringList kUserTypes{"text/plain;charset=utf-8", "text/html"};

class MutterSession : public quillory::testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        session = std::make_shared<MutterRemoteDesktop>(std::make_unique<FakeBus>(&mutter));
        ASSERT_TRUE(session->ensureOpen());
        mutter.otherOwner(kUserTypes, "user's words");
        injector = std::make_unique<ClipboardPasteInjector>(std::make_shared<Trusted>(), session, session);
    }
    struct Trusted final : InjectionTrust {
        bool isTrusted() const override { return true; }
    };
    void finishRestore() { clock_.advance(seconds(1)); }

    FakeMutter mutter;
    std::shared_ptr<MutterRemoteDesktop> session;
    std::unique_ptr<ClipboardPasteInjector> injector;
};

TEST_F(MutterSession, PastesWithCtrlVServesTheWordsAndGivesTheUsersClipboardBack) {
    ASSERT_TRUE(injector->inject(QStringLiteral("話した言葉")));
    EXPECT_EQ(mutter.keys, (std::vector<QString>{"+Control_L", "+v", "-v", "-Control_L"}));
    ASSERT_FALSE(mutter.selections.empty());
    EXPECT_TRUE(mutter.selections.back().contains("text/plain;charset=utf-8"));
    EXPECT_TRUE(mutter.selections.back().contains("UTF8_STRING"));
    mutter.deliverEchoes();

    // The target reads: the words go through the pipe, and the transfer is reported done.
    EXPECT_EQ(QString::fromUtf8(mutter.request("text/plain;charset=utf-8", 7)), QStringLiteral("話した言葉"));
    ASSERT_FALSE(mutter.writesDone.empty());
    EXPECT_EQ(mutter.writesDone.back(), (std::pair<quint32, bool>{7, true}));
    // A type we never offered is refused, not answered with something else.
    mutter.request("image/png", 8);
    EXPECT_EQ(mutter.writesDone.back(), (std::pair<quint32, bool>{8, false}));

    finishRestore();
    ASSERT_FALSE(mutter.selections.empty());
    EXPECT_EQ(mutter.selections.back(), kUserTypes);
    EXPECT_EQ(mutter.request("text/html", 9), "user's words");
    EXPECT_EQ(mutter.keys.size(), 4u); // the restore presses nothing
}

TEST_F(MutterSession, ACopyAfterThePasteIsKeptAndALateSignalOfAnEarlierOwnerIsNot) {
    // The echo of an owner change made before our write arrives after it: that is no change by
    // the user, and the restore still comes.
    ASSERT_TRUE(injector->inject(QStringLiteral("一回目")));
    mutter.events.ownerChanged({"text/plain"}, false); // stale: sent before our SetSelection
    mutter.deliverEchoes();
    finishRestore();
    EXPECT_EQ(mutter.selections.back(), kUserTypes);
    mutter.deliverEchoes();

    // The user copies something after the paste: it stays.
    const size_t writes = mutter.selections.size();
    ASSERT_TRUE(injector->inject(QStringLiteral("二回目")));
    mutter.deliverEchoes();
    mutter.otherOwner({"text/plain"}, "copied meanwhile");
    finishRestore();
    EXPECT_EQ(mutter.selections.size(), writes + 2); // the clear and the words; no restore
}

TEST_F(MutterSession, AClosedSessionIsOpenedAgainAndAKeyThatDidNotLandIsAFailure) {
    mutter.events.closed();
    EXPECT_FALSE(session->isOpen());
    mutter.ownerTypes = kUserTypes;
    ASSERT_TRUE(injector->inject(QStringLiteral("また")));
    mutter.deliverEchoes();
    EXPECT_EQ(mutter.opens, 2);
    EXPECT_EQ(mutter.keys, (std::vector<QString>{"+Control_L", "+v", "-v", "-Control_L"}));
    finishRestore();
    mutter.deliverEchoes();

    // The session stops answering after Control went down: the V is not sent to a fresh session
    // (it would type a letter), and the paste is no success.
    mutter.keys.clear();
    mutter.refuseKeysAfter = 1;
    EXPECT_FALSE(injector->inject(QStringLiteral("消えない")));
    EXPECT_EQ(mutter.keys, (std::vector<QString>{"+Control_L"}));
    EXPECT_FALSE(session->isOpen());
    EXPECT_EQ(mutter.opens, 2) << "no fresh session for the V";
    finishRestore();

    // mutter is gone for good: the session cannot be opened, every paste fails with the reason.
    mutter.refuseKeysAfter = -1;
    mutter.events.closed();
    mutter.refuseOpen = true;
    EXPECT_FALSE(injector->inject(QStringLiteral("届かない")));
    EXPECT_TRUE(session->lastError().contains("not on the bus")) << session->lastError().toStdString();
}

TEST_F(MutterSession, TheUsersClipboardIsReadTypeByTypeAndAnEmptyOneIsEmpty) {
    // mutter refuses a read for a moment after the previous one ("in parallel"): still read.
    mutter.busyReads = 2;
    const auto items = session->items();
    ASSERT_TRUE(items.has_value());
    ASSERT_EQ(items->size(), 1u);
    EXPECT_EQ(items->front()->types(), kUserTypes);
    EXPECT_EQ(items->front()->data("text/html"), QByteArray("user's words"));

    // Opened afresh, mutter tells of no earlier owner: the text there is read all the same.
    mutter.events.closed();
    mutter.ownerTypes = kUserTypes;
    mutter.reads.clear();
    const auto afresh = session->items();
    ASSERT_TRUE(afresh.has_value());
    ASSERT_EQ(afresh->size(), 1u);
    EXPECT_EQ(afresh->front()->types(), QStringList{"text/plain;charset=utf-8"}) << "only the text, never guessed types";
    EXPECT_EQ(afresh->front()->data("text/plain;charset=utf-8"), QByteArray("user's words"));

    mutter.events.closed();
    mutter.ownerTypes.clear();
    const auto empty = session->items();
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
}

TEST(MutterPlatform, GnomeGetsOneSessionForKeyAndClipboardOrAClearReason) {
    DesktopFacts f;
    f.session = DesktopFacts::Session::wayland;
    f.currentDesktops = {"GNOME"};
    f.xDisplay = f.xtest = f.xinput2 = true;
    f.mutterRemoteDesktop = 1;
    const DesktopBackends choice = chooseDesktopBackends(f, BuiltBackends::all());
    ASSERT_EQ(choice.paste.path, DesktopPaths::mutterRemoteDesktop);
    ASSERT_EQ(choice.clipboard.path, DesktopPaths::mutterRemoteDesktop);

    FakeMutter mutter;
    int made = 0;
    LinuxInputFactories factories;
    factories.mutter = [&](QString* reason) -> std::shared_ptr<MutterRemoteDesktop> {
        ++made;
        auto s = std::make_shared<MutterRemoteDesktop>(std::make_unique<FakeBus>(&mutter));
        if (!s->ensureOpen()) {
            *reason = s->lastError();
            return nullptr;
        }
        return s;
    };
    const auto platform = createLinuxInputPlatform(choice, factories);
    EXPECT_TRUE(platform.platform.trust->isTrusted()) << platform.unavailableReason.toStdString();
    EXPECT_EQ(made, 1);
    EXPECT_EQ(std::dynamic_pointer_cast<MutterRemoteDesktop>(platform.platform.clipboard),
              std::dynamic_pointer_cast<MutterRemoteDesktop>(platform.platform.keys));

    mutter.refuseOpen = true;
    const auto refused = createLinuxInputPlatform(choice, factories);
    EXPECT_FALSE(refused.platform.trust->isTrusted());
    EXPECT_TRUE(refused.unavailableReason.contains("not on the bus")) << refused.unavailableReason.toStdString();
}

} // namespace
