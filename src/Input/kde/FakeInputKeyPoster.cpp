#include "Input/kde/FakeInputKeyPoster.h"

#include "Input/TextInjector.h"
#include "Input/wayland/WaylandConnection.h"
#include "Runtime/Log.h"

#include "fake-input-client-protocol.h"

#include <linux/input-event-codes.h>

#include <stdexcept>

namespace quillory::input {

namespace {

/// What KWin needs before it offers fake-input (shown in the logs and `doctor`).
const char* const kNotOffered =
    "KWin does not offer fake-input to this program (it does to a program whose desktop file, with "
    "the absolute path of the executable in Exec, lists org_kde_kwin_fake_input in "
    "X-KDE-Wayland-Interfaces)";

class WaylandFakeInputChannel final : public FakeInputChannel {
public:
    explicit WaylandFakeInputChannel(std::shared_ptr<WaylandConnection> connection)
        : connection_(std::move(connection)) {}
    bool offered() const override { return connection_ && connection_->isAlive() && connection_->offersFakeInput(); }
    void authenticate(const QString& application, const QString& reason) override {
        if (auto* fakeInput = connection_->bindFakeInput()) {
            org_kde_kwin_fake_input_authenticate(fakeInput, application.toUtf8().constData(),
                                                 reason.toUtf8().constData());
            connection_->flush();
        }
    }
    void key(quint32 evdevCode, bool pressed) override {
        if (auto* fakeInput = connection_->bindFakeInput()) {
            org_kde_kwin_fake_input_keyboard_key(fakeInput, evdevCode, pressed ? 1 : 0);
            connection_->flush();
        }
    }
    bool sync() override { return connection_->roundtrip() && connection_->isAlive(); }

private:
    std::shared_ptr<WaylandConnection> connection_;
};

} // namespace

FakeInputKeyPoster::FakeInputKeyPoster(std::shared_ptr<FakeInputChannel> channel) : channel_(std::move(channel)) {}

FakeInputKeyPoster::~FakeInputKeyPoster() {
    if (pressed_ && channel_->offered()) {
        release();
    }
}

bool FakeInputKeyPoster::createEventSource() {
    if (!channel_->offered()) {
        authorised_ = false;
        lastError_ = QString::fromLatin1(kNotOffered);
        return false;
    }
    if (!authenticated_) {
        channel_->authenticate(kApplication, QStringLiteral("Paste dictated text with Ctrl+V"));
        authenticated_ = true;
        authorised_ = channel_->sync();
        if (!authorised_) {
            lastError_ = QStringLiteral("KWin did not take fake-input's authenticate request");
            qCWarning(lcInput, "Paste key: %s", qUtf8Printable(lastError_));
        }
    }
    if (authorised_) {
        lastError_.clear();
    }
    return authorised_;
}

bool FakeInputKeyPoster::createEvent(const KeyEvent& event) {
    return authorised_ && channel_->offered() && event.virtualKey == ClipboardPasteInjector::kVirtualKeyV &&
           (event.flags & ClipboardPasteInjector::kCommandFlag) != 0;
}

void FakeInputKeyPoster::release() {
    channel_->key(KEY_V, false);
    channel_->key(KEY_LEFTCTRL, false);
    pressed_ = false;
}

void FakeInputKeyPoster::post(const KeyEvent& event) {
    if (!authorised_ || !channel_->offered()) {
        throw std::runtime_error("KWin's fake-input is not usable: " +
                                 (lastError_.isEmpty() ? std::string(kNotOffered) : lastError_.toStdString()));
    }
    if (event.keyDown) {
        if (pressed_) {
            release();
        }
        channel_->key(KEY_LEFTCTRL, true);
        channel_->key(KEY_V, true);
        pressed_ = true;
        return;
    }
    if (!pressed_) {
        return;
    }
    release();
    if (!channel_->sync()) {
        authorised_ = false;
        lastError_ = QStringLiteral("KWin did not take the paste key");
        throw std::runtime_error(lastError_.toStdString());
    }
}

std::shared_ptr<FakeInputChannel> makeFakeInputChannel(std::shared_ptr<WaylandConnection> connection) {
    return std::make_shared<WaylandFakeInputChannel>(std::move(connection));
}

std::shared_ptr<KeyEventPoster> makeFakeInputKeyPoster(std::shared_ptr<WaylandConnection> connection,
                                                       QString* reason) {
    if (!connection) {
        *reason = QStringLiteral("no Wayland connection for fake-input");
        return nullptr;
    }
    auto poster = std::make_shared<FakeInputKeyPoster>(makeFakeInputChannel(std::move(connection)));
    if (!poster->createEventSource()) {
        *reason = poster->lastError();
        return nullptr;
    }
    qCInfo(lcInput, "Paste key: KWin's fake-input, authenticated");
    return poster;
}

} // namespace quillory::input
