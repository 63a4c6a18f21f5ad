#include "Input/uinput/UinputKeyPoster.h"

#include "Input/TextInjector.h"
#include "Runtime/Log.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/uinput.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quillory::input {

namespace {

class DeviceFile final : public UinputFile {
public:
    explicit DeviceFile(int fd) : fd_(fd) {}
    ~DeviceFile() override { ::close(fd_); }
    int control(unsigned long request, int argument) override {
        return ::ioctl(fd_, request, argument) < 0 ? errno : 0;
    }
    int setup(const uinput_setup& setup) override { return ::ioctl(fd_, UI_DEV_SETUP, &setup) < 0 ? errno : 0; }
    int write(const QByteArray& events) override {
        qsizetype done = 0;
        while (done < events.size()) {
            const ssize_t n = ::write(fd_, events.constData() + done, size_t(events.size() - done));
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            done += n;
        }
        return 0;
    }

private:
    int fd_;
};

QString systemMessage(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QByteArray eventBytes(int type, int code, int value) {
    input_event e{};
    e.type = quint16(type);
    e.code = quint16(code);
    e.value = value;
    return QByteArray(reinterpret_cast<const char*>(&e), sizeof e);
}

} // namespace

std::unique_ptr<UinputFile> openUinputFile(QString* reason, const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (reason) {
            *reason = QStringLiteral("%1: %2").arg(path, systemMessage(errno));
        }
        return nullptr;
    }
    return std::make_unique<DeviceFile>(fd);
}

UinputKeyPoster::UinputKeyPoster(std::unique_ptr<UinputFile> file) : file_(std::move(file)) {}

UinputKeyPoster::~UinputKeyPoster() {
    if (!created_) {
        return;
    }
    try {
        releaseHeld();
    } catch (const std::exception& e) {
        qCWarning(lcInput, "Releasing the virtual keyboard's keys failed: %s", e.what());
    }
    file_->control(UI_DEV_DESTROY, 0);
}

bool UinputKeyPoster::createEventSource() {
    if (created_) {
        return true;
    }
    if (!file_) {
        lastError_ = QStringLiteral("no uinput device file");
        return false;
    }
    const auto fail = [this](const char* step, int error) {
        lastError_ = QStringLiteral("uinput %1: %2").arg(QString::fromLatin1(step), systemMessage(error));
        qCWarning(lcInput, "%s", qUtf8Printable(lastError_));
        return false;
    };
    if (const int e = file_->control(UI_SET_EVBIT, EV_KEY)) {
        return fail("UI_SET_EVBIT", e);
    }
    // The keys of a whole keyboard, so that the compositor treats the device as one.
    for (int key = KEY_ESC; key <= KEY_MICMUTE; ++key) {
        if (const int e = file_->control(UI_SET_KEYBIT, key)) {
            return fail("UI_SET_KEYBIT", e);
        }
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = 0x1209; // pid.codes: open-source projects
    setup.id.product = 0x5171;
    setup.id.version = 1;
    std::strncpy(setup.name, kDeviceName, UINPUT_MAX_NAME_SIZE - 1);
    if (const int e = file_->setup(setup)) {
        return fail("UI_DEV_SETUP", e);
    }
    if (const int e = file_->control(UI_DEV_CREATE, 0)) {
        return fail("UI_DEV_CREATE", e);
    }
    created_ = true;
    return true;
}

bool UinputKeyPoster::createEvent(const KeyEvent& event) {
    return event.virtualKey == ClipboardPasteInjector::kVirtualKeyV;
}

void UinputKeyPoster::send(int code, bool down) {
    if (down ? held_.contains(code) : !held_.contains(code)) {
        return;
    }
    const QByteArray bytes = eventBytes(EV_KEY, code, down ? 1 : 0) + eventBytes(EV_SYN, SYN_REPORT, 0);
    if (const int e = file_->write(bytes)) {
        throw std::runtime_error(
            QStringLiteral("the virtual keyboard refused a key event: %1").arg(systemMessage(e)).toStdString());
    }
    down ? void(held_.insert(code)) : void(held_.erase(code));
}

void UinputKeyPoster::releaseHeld() {
    const std::set<int> held = held_;
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        send(*it, false);
    }
}

void UinputKeyPoster::post(const KeyEvent& event) {
    if (!created_ && !createEventSource()) {
        throw std::runtime_error(lastError_.toStdString());
    }
    if (!createEvent(event)) {
        throw std::runtime_error("the virtual keyboard has no such key");
    }
    const bool command = event.flags & ClipboardPasteInjector::kCommandFlag;
    if (event.keyDown) {
        // Exactly Ctrl+V: whatever our device still holds from a paste cut short goes up first.
        releaseHeld();
        if (command) {
            send(KEY_LEFTCTRL, true);
        }
        send(KEY_V, true);
    } else {
        send(KEY_V, false);
        if (command) {
            send(KEY_LEFTCTRL, false);
        }
    }
}

std::shared_ptr<KeyEventPoster> makeUinputKeyPoster(QString* reason) {
    std::unique_ptr<UinputFile> file = openUinputFile(reason);
    if (!file) {
        return nullptr;
    }
    auto poster = std::make_shared<UinputKeyPoster>(std::move(file));
    if (!poster->createEventSource()) {
        if (reason) {
            *reason = poster->lastError();
        }
        return nullptr;
    }
    return poster;
}

} // namespace quillory::input
