#pragma once

#include "Hotkey/HotkeyBackend.h"
#include "Hotkey/ModifierKeyMap.h"
#include "Runtime/Lifetime.h"
#include "Runtime/NextTurn.h"

#include <QObject>
#include <QString>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class QSocketNotifier;

namespace quillory::platform {

/// The keyboards under a device folder as the evdev backend reads them; the real one opens
/// /dev/input/event* and asks the kernel, tests hand in recorded event streams.
class EvdevDevices {
public:
    struct Device {
        int fd = -1;       ///< readable, non-blocking; `struct input_event`s arrive on it
        bool keyboard = false; ///< reports letter keys
        bool synthetic = false; ///< a virtual device (uinput: our own paste key, other tools')
        QString name;
    };
    virtual ~EvdevDevices() = default;
    /// The folder watched for devices coming and going.
    virtual QString directory() const = 0;
    /// The device names in the folder ("event3").
    virtual QStringList list() = 0;
    /// Opens a device; nullopt when it cannot be opened (gone, or not readable for this user).
    virtual std::optional<Device> open(const QString& name) = 0;
    /// The keys the device holds down now (EVIOCGKEY), as evdev key codes; nullopt on failure.
    virtual std::optional<std::set<int>> keysDown(int fd) = 0;
    virtual void close(int fd) = 0;
};

/// /dev/input through open(2), EVIOCGBIT, EVIOCGID, EVIOCGNAME and EVIOCGKEY.
std::unique_ptr<EvdevDevices> systemEvdevDevices(const QString& directory = QStringLiteral("/dev/input"));

/// The modifier gestures from the keyboards under /dev/input, on any compositor (readable with the
/// `input` group). Every keyboard is read through a socket notifier on the main thread; keyboards
/// that come later (and ones whose permissions udev fixes later) are found through inotify on the
/// folder, and a keyboard that goes away releases the keys it held. Virtual devices (our own
/// uinput keyboard, other tools' fake input) are never read: synthesised keys are not the user's.
///
/// Keys are evdev codes, matched to the `ModifierKeyMap` as X keycodes (code + 8). As on X11,
/// events are handed on one per scheduler turn and key states are answered as of the event last
/// handed on; a SYN_DROPPED (the kernel's buffer overflowed) re-reads the device's state with
/// EVIOCGKEY. The registered hot key cannot be grabbed through evdev: registering one fails.
/// Main thread only.
class EvdevHotkeyBackend final : public QObject,
                                 public HotkeyPlatformOwner,
                                 public ModifierEventStream,
                                 public KeyStateQuery,
                                 public HotKeyRegistrar {
    Q_OBJECT
public:
    /// Opens every keyboard there is; null with the reason when none can be read.
    static std::unique_ptr<EvdevHotkeyBackend> open(const ModifierKeyMap& keys, std::unique_ptr<EvdevDevices> devices,
                                                    QString* error);
    ~EvdevHotkeyBackend() override;

    HotkeyPlatform platform() override { return {this, this, this}; }

    bool start(std::function<void(const ModifierChange&)> onChange,
               std::function<void(std::uint32_t)> onDisabled) override;
    void stop() override;
    bool isKeyDown(KeyStateSource source, std::uint16_t keyCode) override;
    /// Always fails (-3): evdev can hear a key but not keep it from the focused app.
    int registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers) override;
    void unregisterHotKey() override {}
    int installHandler(std::function<void(EventKind)> handler) override;
    void removeHandler() override {}

    /// Reads what the devices have sent and looks at the folder again (the notifiers call these;
    /// tests call them after writing into the fake devices).
    void readDevice(int fd);
    void rescan();
    /// The keyboards being read, by device name.
    QStringList openDevices() const;
    /// The descriptors a device is read through (one, or none when it is not read).
    QList<int> deviceDescriptors(const QString& name) const;

private:
    EvdevHotkeyBackend(const ModifierKeyMap& keys, std::unique_ptr<EvdevDevices> devices);
    struct Open {
        QString name;
        QSocketNotifier* notifier = nullptr;
        std::set<int> down; ///< X keycodes this device holds, as read
    };
    struct Pending {
        int keycode;
        bool down;
        bool otherKey;
    };
    void openDevice(const QString& name);
    void closeDevice(int fd);
    void keyEvent(Open& device, int code, int value);
    void resync(int fd, Open& device);
    void deliverNext();
    void scheduleDelivery();
    std::uint64_t flagsFor(const std::set<int>& keys) const;
    bool anyDown(const std::set<int>& keys, std::uint16_t virtualKey) const;

    ModifierKeyMap keys_;
    std::unique_ptr<EvdevDevices> devices_;
    std::map<int, Open> open_;
    std::set<QString> ignored_; ///< devices that are no keyboards of people (until they go)
    int inotify_ = -1;
    QSocketNotifier* folderNotifier_ = nullptr;
    std::function<void(const ModifierChange&)> onChange_;
    bool streaming_ = false;
    std::deque<Pending> pending_;
    std::set<int> handedOn_; ///< X keycodes down as of the last event handed on
    Lifetime<EvdevHotkeyBackend> lifetime_{this};
    /// Hands the next queued event on, one per scheduler turn.
    NextTurn<EvdevHotkeyBackend> delivery_{lifetime_, &EvdevHotkeyBackend::deliverNext};
};

} // namespace quillory::platform
