// The RemoteDesktop portal's keyboard against a fake portal served on a private dbus-daemon: one
// consent kept with its restore token, a stale token, a refused consent, a session the desktop
// closes, no portal at all. Time-outs run on virtual time; the bus is real.
#include "Input/TextInjector.h"
#include "Input/portal/RemoteDesktopKeyPoster.h"
#include "support/CoreTest.h"
#include "support/PrivateBus.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <mutex>
#include <set>

namespace {

using quillory::input::RemoteDesktopKeyPoster;
using State = RemoteDesktopKeyPoster::State;

using quillory::testing::pumpUntil;

/// org.freedesktop.portal.Desktop's RemoteDesktop as xdg-desktop-portal serves it: requests
/// answered through Response signals, a consent "dialog" for each Start without a valid token.
class FakePortal final : public QDBusVirtualObject {
public:
    // What the portal answers; read under the lock.
    uint startResponse = 0;         ///< 0 granted, 1 refused, 2 cancelled
    bool answerStart = true;        ///< false: Start never answers
    std::set<QString> validTokens;  ///< restore tokens it honours

    // What it saw.
    int dialogs = 0;                ///< Starts without a valid token
    int starts = 0;
    int closes = 0;                 ///< Session.Close calls
    QVariantMap lastSelectOptions;
    std::vector<std::pair<int, uint>> keys;
    QString session;                ///< the current session's path
    bool sessionOpen = false;
    std::mutex mutex;

    QDBusConnection* bus = nullptr;

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        std::lock_guard lock(mutex);
        const QString member = message.member();
        const QVariantList args = message.arguments();
        QString sender = message.service().mid(1);
        sender.replace('.', '_');
        auto requestPath = [&](const QVariantMap& options) {
            return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                .arg(sender, options.value("handle_token").toString());
        };
        auto respond = [&](const QString& path, uint code, const QVariantMap& results) {
            QDBusMessage signal = QDBusMessage::createSignal(path, "org.freedesktop.portal.Request", "Response");
            signal << code << results;
            connection.send(signal);
        };
        if (message.interface() == "org.freedesktop.portal.Session" && member == "Close") {
            ++closes;
            sessionOpen = false;
            connection.send(message.createReply());
            return true;
        }
        if (message.interface() == "org.freedesktop.portal.Request" && member == "Close") {
            connection.send(message.createReply());
            return true;
        }
        if (member == "CreateSession") {
            const QVariantMap options = qdbus_cast<QVariantMap>(args.value(0));
            const QString path = requestPath(options);
            session = QStringLiteral("/org/freedesktop/portal/desktop/session/%1/%2")
                          .arg(sender, options.value("session_handle_token").toString());
            sessionOpen = true;
            connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(path))));
            respond(path, 0, {{"session_handle", session}});
            return true;
        }
        if (member == "SelectDevices") {
            lastSelectOptions = qdbus_cast<QVariantMap>(args.value(1));
            const QString path = requestPath(lastSelectOptions);
            connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(path))));
            respond(path, 0, {});
            return true;
        }
        if (member == "Start") {
            ++starts;
            const QVariantMap options = qdbus_cast<QVariantMap>(args.value(2));
            const QString path = requestPath(options);
            connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(path))));
            if (!answerStart) return true;
            const QString token = lastSelectOptions.value("restore_token").toString();
            if (!token.isEmpty() && !validTokens.count(token)) {
                respond(path, 2, {}); // a token it does not know: the backend fails the request
                return true;
            }
            if (token.isEmpty()) ++dialogs;
            if (startResponse != 0) {
                respond(path, startResponse, {});
                return true;
            }
            const QString fresh = QStringLiteral("token-%1").arg(starts);
            validTokens.insert(fresh);
            respond(path, 0, {{"devices", 1u}, {"restore_token", fresh}});
            return true;
        }
        if (member == "NotifyKeyboardKeycode") {
            if (!sessionOpen || qdbus_cast<QDBusObjectPath>(args.value(0)).path() != session) {
                connection.send(message.createErrorReply("org.freedesktop.portal.Error.NotAllowed", "Invalid session"));
                return true;
            }
            keys.emplace_back(args.value(2).toInt(), args.value(3).toUInt());
            connection.send(message.createReply());
            return true;
        }
        return false;
    }

    /// The desktop ends the session (the user stopped it from the tray, the compositor restarted).
    void closeSession(const QDBusConnection& connection) {
        std::lock_guard lock(mutex);
        sessionOpen = false;
        QDBusMessage signal = QDBusMessage::createSignal(session, "org.freedesktop.portal.Session", "Closed");
        signal << QVariantMap();
        QDBusConnection(connection).send(signal);
    }
};

class RemoteDesktopPortal : public quillory::testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        bus_ = std::make_unique<quillory::testing::PrivateBus>(home_.path());
        ASSERT_TRUE(bus_->ok()) << "no private dbus-daemon";
        client_ = std::make_unique<QDBusConnection>(bus_->client());
    }
    void TearDown() override {
        poster_.reset();
        client_.reset();
        bus_.reset();
        portal_.reset();
        CoreTest::TearDown();
    }

    /// Serves the fake portal on its own thread (the key calls block the main thread).
    void servePortal() {
        portal_ = std::make_unique<FakePortal>();
        ASSERT_TRUE(bus_->serve(portal_.get(), "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop"));
    }
    void closeSessionFromTheDesktop() {
        bus_->onServiceThread([&] { portal_->closeSession(quillory::testing::PrivateBus::serviceConnection()); });
    }
    template <typename T> T read(const std::function<T(FakePortal&)>& get) {
        std::lock_guard lock(portal_->mutex);
        return get(*portal_);
    }

    std::unique_ptr<RemoteDesktopKeyPoster> makePoster() {
        RemoteDesktopKeyPoster::Options options;
        options.bus = *client_;
        options.store = store_.get();
        auto poster = std::make_unique<RemoteDesktopKeyPoster>(options);
        poster->open();
        return poster;
    }
    bool settles(RemoteDesktopKeyPoster& poster) {
        return pumpUntil([&] { return poster.state() != State::opening; });
    }
    /// What `ClipboardPasteInjector::sendPasteKey` does.
    bool pasteKey(RemoteDesktopKeyPoster& poster) {
        const quillory::KeyEvent down{9, true, 0x100000}, up{9, false, 0x100000};
        if (!poster.createEventSource() || !poster.createEvent(down)) return false;
        poster.post(down);
        poster.post(up);
        return true;
    }
    std::vector<std::pair<int, uint>> sentKeys() {
        std::lock_guard lock(portal_->mutex);
        return portal_->keys;
    }
    QString token() const {
        return store_->stringValue(RemoteDesktopKeyPoster::kRestoreTokenKey).value_or(QString());
    }

    std::unique_ptr<quillory::testing::PrivateBus> bus_;
    std::unique_ptr<QDBusConnection> client_;
    std::unique_ptr<FakePortal> portal_;
    std::unique_ptr<RemoteDesktopKeyPoster> poster_;
};

const std::vector<std::pair<int, uint>> kCtrlV{{29, 1}, {47, 1}, {47, 0}, {29, 0}};

TEST_F(RemoteDesktopPortal, TheUserConsentsOnceAndTheStoredTokenOpensLaterSessionsWithoutAsking) {
    servePortal();
    poster_ = makePoster();
    ASSERT_TRUE(settles(*poster_));
    ASSERT_EQ(poster_->state(), State::started) << poster_->lastError().toStdString();
    const QVariantMap asked = read<QVariantMap>([](FakePortal& p) { return p.lastSelectOptions; });
    EXPECT_EQ(asked.value("types").toUInt(), 1u);        // the keyboard
    EXPECT_EQ(asked.value("persist_mode").toUInt(), 2u); // until the user revokes it
    EXPECT_FALSE(asked.contains("restore_token"));
    EXPECT_EQ(token(), "token-1");

    ASSERT_TRUE(pasteKey(*poster_));
    EXPECT_EQ(sentKeys(), kCtrlV);

    // The app quits (the session is closed) and starts again: no second dialog.
    poster_.reset();
    ASSERT_TRUE(pumpUntil([&] { return read<int>([](FakePortal& p) { return p.closes; }) == 1; }));
    poster_ = makePoster();
    ASSERT_TRUE(settles(*poster_));
    EXPECT_EQ(poster_->state(), State::started) << poster_->lastError().toStdString();
    EXPECT_EQ(read<QVariantMap>([](FakePortal& p) { return p.lastSelectOptions; }).value("restore_token").toString(),
              "token-1");
    EXPECT_EQ(read<int>([](FakePortal& p) { return p.dialogs; }), 1);
    EXPECT_EQ(token(), "token-2"); // each start hands out the token for the next
}

TEST_F(RemoteDesktopPortal, AStaleTokenIsDroppedAndTheUserIsAskedAgain) {
    servePortal();
    ASSERT_TRUE(store_->setString(RemoteDesktopKeyPoster::kRestoreTokenKey, "revoked-long-ago"));
    poster_ = makePoster();
    ASSERT_TRUE(settles(*poster_));
    EXPECT_EQ(poster_->state(), State::started) << poster_->lastError().toStdString();
    EXPECT_EQ(read<int>([](FakePortal& p) { return p.dialogs; }), 1);
    EXPECT_EQ(read<int>([](FakePortal& p) { return p.starts; }), 2);
    EXPECT_EQ(token(), "token-2");
    ASSERT_TRUE(pasteKey(*poster_));
}

TEST_F(RemoteDesktopPortal, ARefusedConsentNeverCountsAsAPasteAndTheNextPasteAsksAgain) {
    servePortal();
    {
        std::lock_guard lock(portal_->mutex);
        portal_->startResponse = 1;
    }
    poster_ = makePoster();
    ASSERT_TRUE(settles(*poster_));
    EXPECT_EQ(poster_->state(), State::failed);
    EXPECT_TRUE(poster_->lastError().contains("refused")) << poster_->lastError().toStdString();
    EXPECT_TRUE(token().isEmpty());

    // The injector reports the paste as failed (the words go to Undelivered.txt, not lost).
    auto poster = std::shared_ptr<RemoteDesktopKeyPoster>(std::move(poster_));
    quillory::ClipboardPasteInjector injector(nullptr, nullptr, poster);
    EXPECT_FALSE(injector.sendPasteKey());
    EXPECT_TRUE(sentKeys().empty());
    // …and asked again: this time the user agrees.
    {
        std::lock_guard lock(portal_->mutex);
        portal_->startResponse = 0;
    }
    EXPECT_EQ(poster->state(), State::opening);
    ASSERT_TRUE(settles(*poster));
    EXPECT_EQ(poster->state(), State::started);
    EXPECT_EQ(read<int>([](FakePortal& p) { return p.dialogs; }), 2);
    EXPECT_TRUE(injector.sendPasteKey());
    EXPECT_EQ(sentKeys(), kCtrlV);
    poster_.reset();
}

TEST_F(RemoteDesktopPortal, ASessionTheDesktopClosesFailsThePasteAndIsOpenedAgainWithTheToken) {
    servePortal();
    poster_ = makePoster();
    ASSERT_TRUE(settles(*poster_));
    ASSERT_EQ(poster_->state(), State::started);

    // Closed with the signal: the next paste fails clearly and reopens the session.
    closeSessionFromTheDesktop();
    ASSERT_TRUE(pumpUntil([&] { return poster_->state() == State::closed; }));
    EXPECT_FALSE(pasteKey(*poster_));
    EXPECT_TRUE(poster_->lastError().contains("closed")) << poster_->lastError().toStdString();
    ASSERT_TRUE(settles(*poster_));
    EXPECT_EQ(poster_->state(), State::started);
    EXPECT_EQ(read<int>([](FakePortal& p) { return p.dialogs; }), 1); // reopened with the token
    EXPECT_TRUE(pasteKey(*poster_));
    EXPECT_EQ(sentKeys(), kCtrlV);

    // Gone without a signal reaching us: the portal refuses the key, the paste throws (the
    // injector counts it as failed), and the next one reopens.
    {
        std::lock_guard lock(portal_->mutex);
        portal_->sessionOpen = false;
    }
    EXPECT_THROW(pasteKey(*poster_), std::runtime_error);
    EXPECT_EQ(poster_->state(), State::closed);
    EXPECT_FALSE(pasteKey(*poster_));
    ASSERT_TRUE(settles(*poster_));
    EXPECT_EQ(poster_->state(), State::started);
}

TEST_F(RemoteDesktopPortal, NoPortalOrNoAnswerIsAClearFailure) {
    // Nothing owns org.freedesktop.portal.Desktop on this bus.
    poster_ = makePoster();
    ASSERT_TRUE(settles(*poster_));
    EXPECT_EQ(poster_->state(), State::failed);
    EXPECT_TRUE(poster_->lastError().contains("CreateSession")) << poster_->lastError().toStdString();
    EXPECT_FALSE(pasteKey(*poster_));
    poster_.reset();

    // A portal whose dialog is never answered: the wait ends on the clock, the request is closed.
    servePortal();
    {
        std::lock_guard lock(portal_->mutex);
        portal_->answerStart = false;
    }
    poster_ = makePoster();
    ASSERT_TRUE(pumpUntil([&] { return read<int>([](FakePortal& p) { return p.starts; }) == 1; }));
    EXPECT_EQ(poster_->state(), State::opening);
    EXPECT_FALSE(poster_->createEventSource());
    EXPECT_TRUE(poster_->lastError().contains("dialog")) << poster_->lastError().toStdString();
    clock_.advance(quillory::seconds(301));
    EXPECT_EQ(poster_->state(), State::failed);
    EXPECT_TRUE(poster_->lastError().contains("did not answer")) << poster_->lastError().toStdString();
}

} // namespace
