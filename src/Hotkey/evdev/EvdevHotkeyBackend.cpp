#include "Hotkey/evdev/EvdevHotkeyBackend.h"

#include "Runtime/Scheduler.h"
#include "Runtime/Log.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quillory::platform {

namespace {

constexpr int kXKeycodeOffset = 8; // X keycodes are evdev codes plus 8

constexpr std::size_t kBitsPerLong = 8 * sizeof(unsigned long);
bool testBit(const unsigned long* bits, int bit) {
    return (bits[bit / kBitsPerLong] >> (bit % kBitsPerLong)) & 1UL;
}

class SystemDevices final : public EvdevDevices {
public:
    explicit SystemDevices(QString directory) : directory_(std::move(directory)) {}
    QString directory() const override { return directory_; }
    QStringList list() override {
        return QDir(directory_).entryList({QStringLiteral("event*")}, QDir::System | QDir::Files, QDir::Name);
    }
    std::optional<Device> open(const QString& name) override {
        const QByteArray path = QFile::encodeName(directory_ + QLatin1Char('/') + name);
        const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return std::nullopt;
        }
        Device d;
        d.fd = fd;
        unsigned long bits[(KEY_MAX + 1) / kBitsPerLong + 1] = {};
        if (::ioctl(fd, EVIOCGBIT(EV_KEY, sizeof bits), bits) >= 0) {
            d.keyboard = testBit(bits, KEY_A) && testBit(bits, KEY_Z) && testBit(bits, KEY_SPACE);
        }
        input_id id{};
        d.synthetic = ::ioctl(fd, EVIOCGID, &id) >= 0 && id.bustype == BUS_VIRTUAL;
        char deviceName[256] = {};
        if (::ioctl(fd, EVIOCGNAME(sizeof deviceName - 1), deviceName) >= 0) {
            d.name = QString::fromUtf8(deviceName);
        }
        return d;
    }
    std::optional<std::set<int>> keysDown(int fd) override {
        unsigned long bits[(KEY_MAX + 1) / kBitsPerLong + 1] = {};
        if (::ioctl(fd, EVIOCGKEY(sizeof bits), bits) < 0) {
            return std::nullopt;
        }
        std::set<int> down;
        for (int key = 0; key <= KEY_MAX; ++key) {
            if (testBit(bits, key)) {
                down.insert(key);
            }
        }
        return down;
    }
    void close(int fd) override { ::close(fd); }

private:
    QString directory_;
};

} // namespace

std::unique_ptr<EvdevDevices> systemEvdevDevices(const QString& directory) {
    return std::make_unique<SystemDevices>(directory);
}

EvdevHotkeyBackend::EvdevHotkeyBackend(const ModifierKeyMap& keys, std::unique_ptr<EvdevDevices> devices)
    : keys_(keys), devices_(std::move(devices)) {}

std::unique_ptr<EvdevHotkeyBackend> EvdevHotkeyBackend::open(const ModifierKeyMap& keys,
                                                             std::unique_ptr<EvdevDevices> devices, QString* error) {
    std::unique_ptr<EvdevHotkeyBackend> backend(new EvdevHotkeyBackend(keys, std::move(devices)));
    const QByteArray folder = QFile::encodeName(backend->devices_->directory());
    backend->inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (backend->inotify_ >= 0 &&
        ::inotify_add_watch(backend->inotify_, folder.constData(), IN_CREATE | IN_ATTRIB | IN_MOVED_TO | IN_DELETE) >= 0) {
        backend->folderNotifier_ = new QSocketNotifier(backend->inotify_, QSocketNotifier::Read, backend.get());
        QObject::connect(backend->folderNotifier_, &QSocketNotifier::activated, backend.get(), [b = backend.get()] {
            char buffer[4096];
            while (::read(b->inotify_, buffer, sizeof buffer) > 0) {
            }
            b->rescan();
        });
    } else {
        qCWarning(lcHotkey, "Keyboards plugged in later are not heard: cannot watch %s", folder.constData());
    }
    backend->rescan();
    if (backend->open_.empty()) {
        if (error) {
            *error = QStringLiteral("no keyboard under %1 can be read").arg(backend->devices_->directory());
        }
        return nullptr;
    }
    return backend;
}

EvdevHotkeyBackend::~EvdevHotkeyBackend() {
    lifetime_.end();
    while (!open_.empty()) {
        const int fd = open_.begin()->first;
        delete open_.begin()->second.notifier;
        open_.erase(open_.begin());
        devices_->close(fd);
    }
    delete folderNotifier_;
    if (inotify_ >= 0) {
        ::close(inotify_);
    }
}

QStringList EvdevHotkeyBackend::openDevices() const {
    QStringList names;
    for (const auto& [fd, device] : open_) {
        names << device.name;
    }
    names.sort();
    return names;
}

QList<int> EvdevHotkeyBackend::deviceDescriptors(const QString& name) const {
    QList<int> fds;
    for (const auto& [fd, device] : open_) {
        if (device.name == name) {
            fds << fd;
        }
    }
    return fds;
}

void EvdevHotkeyBackend::rescan() {
    const QStringList names = devices_->list();
    // A name that went away may come back as another device.
    std::erase_if(ignored_, [&](const QString& name) { return !names.contains(name); });
    for (const QString& name : names) {
        if (ignored_.contains(name)) {
            continue;
        }
        const bool known = std::any_of(open_.begin(), open_.end(), [&](const auto& entry) { return entry.second.name == name; });
        if (!known) {
            openDevice(name);
        }
    }
}

void EvdevHotkeyBackend::openDevice(const QString& name) {
    const std::optional<EvdevDevices::Device> device = devices_->open(name);
    if (!device) {
        return;
    }
    if (!device->keyboard || device->synthetic) {
        devices_->close(device->fd); // not a keyboard, or keys no person typed
        ignored_.insert(name);
        return;
    }
    Open entry;
    entry.name = name;
    entry.notifier = new QSocketNotifier(device->fd, QSocketNotifier::Read, this);
    const int fd = device->fd;
    connect(entry.notifier, &QSocketNotifier::activated, this, [this, fd] { readDevice(fd); });
    auto& opened = open_[fd] = std::move(entry);
    qCInfo(lcHotkey, "Reading keyboard %s (%s)", qUtf8Printable(name), qUtf8Printable(device->name));
    resync(fd, opened);
}

void EvdevHotkeyBackend::closeDevice(int fd) {
    const auto it = open_.find(fd);
    if (it == open_.end()) {
        return;
    }
    // What a vanished keyboard held is up now.
    for (int keycode : it->second.down) {
        if (keys_.virtualKeyFor(keycode)) {
            pending_.push_back({keycode, false, false});
        }
    }
    qCInfo(lcHotkey, "Keyboard %s went away", qUtf8Printable(it->second.name));
    it->second.notifier->setEnabled(false);
    it->second.notifier->deleteLater();
    open_.erase(it);
    devices_->close(fd);
    scheduleDelivery();
}

void EvdevHotkeyBackend::resync(int fd, Open& device) {
    const std::optional<std::set<int>> live = devices_->keysDown(fd);
    if (!live) {
        return;
    }
    std::set<int> now;
    for (int code : *live) {
        now.insert(code + kXKeycodeOffset);
    }
    // The differences become events, so the state handed on stays a sequence of changes.
    for (int keycode : device.down) {
        if (!now.contains(keycode) && keys_.virtualKeyFor(keycode)) {
            pending_.push_back({keycode, false, false});
        }
    }
    for (int keycode : now) {
        if (!device.down.contains(keycode) && keys_.virtualKeyFor(keycode)) {
            pending_.push_back({keycode, true, false});
        }
    }
    device.down = std::move(now);
    scheduleDelivery();
}

void EvdevHotkeyBackend::readDevice(int fd) {
    auto it = open_.find(fd);
    if (it == open_.end()) {
        return;
    }
    input_event events[64];
    for (;;) {
        const ssize_t n = ::read(fd, events, sizeof events);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                closeDevice(fd); // ENODEV: unplugged
            }
            break;
        }
        const std::size_t count = std::size_t(n) / sizeof(input_event);
        for (std::size_t i = 0; i < count; ++i) {
            const input_event& e = events[i];
            if (e.type == EV_SYN && e.code == SYN_DROPPED) {
                resync(fd, it->second);
            } else if (e.type == EV_KEY) {
                keyEvent(it->second, e.code, e.value);
            }
        }
    }
    scheduleDelivery();
}

void EvdevHotkeyBackend::keyEvent(Open& device, int code, int value) {
    if (value == 2) {
        return; // auto-repeat
    }
    const int keycode = code + kXKeycodeOffset;
    const bool down = value != 0;
    down ? void(device.down.insert(keycode)) : void(device.down.erase(keycode));
    if (!streaming_) {
        return;
    }
    if (keys_.virtualKeyFor(keycode)) {
        pending_.push_back({keycode, down, false});
    } else if (down) {
        pending_.push_back({keycode, true, true});
    }
}

void EvdevHotkeyBackend::scheduleDelivery() {
    if (pending_.empty()) {
        return;
    }
    delivery_.request();
}

void EvdevHotkeyBackend::deliverNext() {
    if (pending_.empty()) {
        return;
    }
    const Pending key = pending_.front();
    pending_.pop_front();
    if (key.otherKey) {
        if (streaming_ && onChange_) {
            auto onChange = onChange_;
            onChange({0, flagsFor(handedOn_), true});
        }
    } else {
        key.down ? void(handedOn_.insert(key.keycode)) : void(handedOn_.erase(key.keycode));
        const auto virtualKey = keys_.virtualKeyFor(key.keycode);
        if (streaming_ && onChange_ && virtualKey) {
            auto onChange = onChange_;
            onChange({*virtualKey, flagsFor(handedOn_)});
        }
    }
    scheduleDelivery();
}

bool EvdevHotkeyBackend::anyDown(const std::set<int>& keys, std::uint16_t virtualKey) const {
    for (int keycode : keys_.keysFor(virtualKey)) {
        if (keys.contains(keycode)) {
            return true;
        }
    }
    return false;
}

std::uint64_t EvdevHotkeyBackend::flagsFor(const std::set<int>& keys) const {
    return HotkeyKeys::flagsOf([&](std::uint16_t key) { return anyDown(keys, key); });
}

bool EvdevHotkeyBackend::start(std::function<void(const ModifierChange&)> onChange,
                               std::function<void(std::uint32_t)> /*evdev never switches a reader off*/) {
    onChange_ = std::move(onChange);
    streaming_ = true;
    // The keys held now are the starting state, not changes.
    handedOn_.clear();
    pending_.clear();
    for (auto& [fd, device] : open_) {
        if (const auto live = devices_->keysDown(fd)) {
            device.down.clear();
            for (int code : *live) {
                device.down.insert(code + kXKeycodeOffset);
            }
        }
        handedOn_.insert(device.down.begin(), device.down.end());
    }
    return true;
}

void EvdevHotkeyBackend::stop() {
    streaming_ = false;
    onChange_ = nullptr;
    std::erase_if(pending_, [](const Pending&) { return true; });
}

bool EvdevHotkeyBackend::isKeyDown(KeyStateSource /*both sources are the devices' state*/, std::uint16_t keyCode) {
    if (!HotkeyKeys::isModifier(keyCode)) {
        return false;
    }
    if (!streaming_) {
        std::set<int> live;
        for (const auto& [fd, device] : open_) {
            live.insert(device.down.begin(), device.down.end());
        }
        return anyDown(live, keyCode);
    }
    return anyDown(handedOn_, keyCode);
}

int EvdevHotkeyBackend::registerHotKey(std::uint32_t, std::uint32_t) {
    return -3;
}

int EvdevHotkeyBackend::installHandler(std::function<void(EventKind)>) {
    return 0;
}

} // namespace quillory::platform
