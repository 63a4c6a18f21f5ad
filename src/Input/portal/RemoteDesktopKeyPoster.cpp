#include "Input/portal/RemoteDesktopKeyPoster.h"

#include "Input/TextInjector.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Log.h"

#include <QDBusMessage>
#include <QDBusObjectPath>

#include <stdexcept>

namespace quillory::input {

namespace {

const QString kRemoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
constexpr uint kKeyboardDevice = 1;
constexpr uint kPersistUntilRevoked = 2;

QString sessionPathOf(const QVariant& value) {
    if (value.canConvert<QDBusObjectPath>() && value.userType() == qMetaTypeId<QDBusObjectPath>()) {
        return value.value<QDBusObjectPath>().path();
    }
    return value.toString();
}

} // namespace

QString remoteDesktopStateName(RemoteDesktopKeyPoster::State state) {
    using State = RemoteDesktopKeyPoster::State;
    switch (state) {
    case State::idle:
        return QStringLiteral("idle");
    case State::opening:
        return QStringLiteral("opening");
    case State::started:
        return QStringLiteral("started");
    case State::failed:
        return QStringLiteral("failed");
    case State::closed:
        return QStringLiteral("closed");
    }
    return {};
}

RemoteDesktopKeyPoster::RemoteDesktopKeyPoster(Options options)
    : options_(std::move(options)), bus_(options_.bus ? *options_.bus : platform::portalBus()),
      requests_(bus_, options_.service) {}

RemoteDesktopKeyPoster::~RemoteDesktopKeyPoster() {
    requests_.cancelAll();
    session_.reset(); // closes it on the portal
}

DefaultsStore& RemoteDesktopKeyPoster::store() const {
    return options_.store ? *options_.store : DefaultsStore::standard();
}

void RemoteDesktopKeyPoster::setState(State state) {
    if (state_ == state) {
        return;
    }
    state_ = state;
    if (stateChanged_) {
        stateChanged_(state);
    }
}

void RemoteDesktopKeyPoster::open() {
    if (state_ == State::opening || state_ == State::started) {
        return;
    }
    requests_.cancelAll();
    session_.reset();
    ++generation_;
    setState(State::opening);
    const bool withToken = store().stringValue(QString::fromLatin1(kRestoreTokenKey)).value_or(QString()).size() > 0;
    qCInfo(lcInput, "RemoteDesktop portal: opening a keyboard session%s",
           withToken ? " with the stored restore token" : " (the desktop asks for consent)");
    createSession(withToken);
}

void RemoteDesktopKeyPoster::fail(const platform::PortalResult& result, const QString& step) {
    requests_.cancelAll();
    session_.reset();
    lastError_ = result.status == platform::PortalResult::Status::denied
                     ? QStringLiteral("keyboard control was refused in the desktop's dialog; the next paste asks again")
                     : QStringLiteral("the RemoteDesktop portal failed at %1: %2").arg(step, result.error);
    qCWarning(lcInput, "RemoteDesktop portal: %s", qUtf8Printable(lastError_));
    setState(State::failed);
}

void RemoteDesktopKeyPoster::createSession(bool withToken) {
    const quint64 generation = generation_;
    QVariantMap options{{QStringLiteral("session_handle_token"), platform::PortalRequests::newToken()}};
    requests_.call(kRemoteDesktop, QStringLiteral("CreateSession"), {}, options, options_.requestTimeout,
                   [this, generation, withToken](const platform::PortalResult& result) {
                       if (generation != generation_) return;
                       if (!result.ok()) {
                           fail(result, QStringLiteral("CreateSession"));
                           return;
                       }
                       const QString path = sessionPathOf(result.results.value(QStringLiteral("session_handle")));
                       if (path.isEmpty()) {
                           fail({platform::PortalResult::Status::failed, {}, QStringLiteral("no session handle in the answer")},
                                QStringLiteral("CreateSession"));
                           return;
                       }
                       session_ = std::make_unique<platform::PortalSessionHandle>(
                           bus_, options_.service, path, [this] { sessionClosed(); });
                       selectDevices(withToken);
                   });
}

void RemoteDesktopKeyPoster::selectDevices(bool withToken) {
    const quint64 generation = generation_;
    QVariantMap options{{QStringLiteral("types"), kKeyboardDevice},
                        {QStringLiteral("persist_mode"), kPersistUntilRevoked}};
    if (withToken) {
        options.insert(QStringLiteral("restore_token"),
                       store().stringValue(QString::fromLatin1(kRestoreTokenKey)).value_or(QString()));
    }
    requests_.call(kRemoteDesktop, QStringLiteral("SelectDevices"), {QVariant::fromValue(QDBusObjectPath(session_->path()))},
                   options, options_.requestTimeout, [this, generation, withToken](const platform::PortalResult& result) {
                       if (generation != generation_) return;
                       if (!result.ok()) {
                           fail(result, QStringLiteral("SelectDevices"));
                           return;
                       }
                       start(withToken);
                   });
}

void RemoteDesktopKeyPoster::start(bool withToken) {
    const quint64 generation = generation_;
    requests_.call(
        kRemoteDesktop, QStringLiteral("Start"), {QVariant::fromValue(QDBusObjectPath(session_->path())), QString()}, {},
        options_.consentTimeout, [this, generation, withToken](const platform::PortalResult& result) {
            if (generation != generation_) return;
            using Status = platform::PortalResult::Status;
            if (!result.ok() && withToken && result.status != Status::denied && result.status != Status::timedOut) {
                // The portal no longer honours the token (revoked, or another portal version):
                // forget it and ask the user.
                qCInfo(lcInput, "RemoteDesktop portal: the restore token was not honoured (%s); asking again",
                       qUtf8Printable(result.error));
                store().remove(QString::fromLatin1(kRestoreTokenKey));
                requests_.cancelAll();
                session_.reset();
                ++generation_;
                createSession(false);
                return;
            }
            if (!result.ok()) {
                fail(result, QStringLiteral("Start"));
                return;
            }
            const uint devices = result.results.value(QStringLiteral("devices")).toUInt();
            if (!(devices & kKeyboardDevice)) {
                fail({Status::failed, {}, QStringLiteral("the desktop did not grant the keyboard")}, QStringLiteral("Start"));
                return;
            }
            const QString token = result.results.value(QStringLiteral("restore_token")).toString();
            if (!token.isEmpty()) {
                store().setString(QString::fromLatin1(kRestoreTokenKey), token);
            }
            lastError_.clear();
            qCInfo(lcInput, "RemoteDesktop portal: keyboard session started%s",
                   token.isEmpty() ? " (the portal gave no restore token)" : "");
            setState(State::started);
        });
}

void RemoteDesktopKeyPoster::sessionClosed() {
    if (state_ != State::started && state_ != State::opening) {
        return;
    }
    requests_.cancelAll();
    ++generation_;
    lastError_ = QStringLiteral("the desktop closed the remote desktop session; the next paste opens it again");
    qCWarning(lcInput, "RemoteDesktop portal: %s", qUtf8Printable(lastError_));
    session_.release()->deleteLater(); // called from its own signal; it is closed already
    setState(State::closed);
}

bool RemoteDesktopKeyPoster::createEventSource() {
    switch (state_) {
    case State::started:
        if (session_ && session_->open()) {
            return true;
        }
        lastError_ = QStringLiteral("the remote desktop session has ended; opening it again");
        setState(State::closed);
        break;
    case State::opening:
        lastError_ = QStringLiteral("waiting for the desktop to allow keyboard control (answer its dialog)");
        qCWarning(lcInput, "The paste key cannot be pressed: %s", qUtf8Printable(lastError_));
        return false;
    case State::idle:
    case State::failed:
    case State::closed:
        break;
    }
    const QString why = lastError_.isEmpty() ? QStringLiteral("the remote desktop session is not open") : lastError_;
    open();
    lastError_ = why;
    qCWarning(lcInput, "The paste key cannot be pressed: %s", qUtf8Printable(lastError_));
    return false;
}

bool RemoteDesktopKeyPoster::createEvent(const KeyEvent& event) {
    return event.virtualKey == ClipboardPasteInjector::kVirtualKeyV;
}

void RemoteDesktopKeyPoster::notifyKey(int code, bool down) {
    if (state_ != State::started || !session_) {
        throw std::runtime_error(qPrintable(lastError_.isEmpty() ? QStringLiteral("the remote desktop session is not open")
                                                                 : lastError_));
    }
    QDBusMessage call = QDBusMessage::createMethodCall(options_.service, platform::PortalNames::object, kRemoteDesktop,
                                                       QStringLiteral("NotifyKeyboardKeycode"));
    call << QVariant::fromValue(QDBusObjectPath(session_->path())) << QVariantMap() << code << uint(down ? 1 : 0);
    const QDBusMessage reply = bus_.call(call, QDBus::Block, int(wholeMilliseconds(options_.keyTimeout)));
    if (reply.type() != QDBusMessage::ReplyMessage) {
        lastError_ = QStringLiteral("the RemoteDesktop portal did not take the key: %1 (%2); the next paste opens the "
                                    "session again")
                         .arg(reply.errorMessage(), reply.errorName());
        qCWarning(lcInput, "RemoteDesktop portal: %s", qUtf8Printable(lastError_));
        requests_.cancelAll();
        session_.reset();
        ++generation_;
        setState(State::closed);
        throw std::runtime_error(qPrintable(lastError_));
    }
}

void RemoteDesktopKeyPoster::post(const KeyEvent& event) {
    if (event.keyDown) {
        notifyKey(kKeyLeftCtrl, true);
        notifyKey(kKeyV, true);
    } else {
        notifyKey(kKeyV, false);
        notifyKey(kKeyLeftCtrl, false);
    }
}

} // namespace quillory::input
