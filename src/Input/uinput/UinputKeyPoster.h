#pragma once

#include "Input/InputPlatform.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <set>

struct uinput_setup;

namespace quillory::input {

/// The uinput device file as the poster uses it (tests record the calls instead).
class UinputFile {
public:
    virtual ~UinputFile() = default;
    /// An ioctl with an integer argument (UI_SET_EVBIT, UI_SET_KEYBIT, UI_DEV_CREATE,
    /// UI_DEV_DESTROY); 0 on success, else errno.
    virtual int control(unsigned long request, int argument) = 0;
    /// UI_DEV_SETUP; 0 on success, else errno.
    virtual int setup(const uinput_setup& setup) = 0;
    /// Writes the bytes of whole `struct input_event`s; 0 when all were written, else errno.
    virtual int write(const QByteArray& events) = 0;
};

/// Opens /dev/uinput for writing; null with the reason when it cannot be opened.
std::unique_ptr<UinputFile> openUinputFile(QString* reason, const QString& path = QStringLiteral("/dev/uinput"));

/// The paste key through a virtual keyboard of our own made with uinput: it reaches whatever app
/// has the focus on any compositor (the kernel hands it to the compositor like a real keyboard).
/// The core's key 9 with the Command flag becomes Ctrl+V; every press and release is one
/// EV_KEY event followed by EV_SYN. Keys our device still holds (an earlier paste cut short) are
/// released first; the device is destroyed, with its keys released, when the poster goes.
///
/// The compositor needs a moment to take up a new device: make the poster when the app starts,
/// not at the first paste.
class UinputKeyPoster final : public KeyEventPoster {
public:
    explicit UinputKeyPoster(std::unique_ptr<UinputFile> file);
    ~UinputKeyPoster() override;

    /// Creates the device (once); false, with `lastError`, when uinput refuses.
    bool createEventSource() override;
    /// True for the keys the device maps (the paste key).
    bool createEvent(const KeyEvent& event) override;
    /// Writes the event; throws std::runtime_error when the device does not take it.
    void post(const KeyEvent& event) override;

    const QString& lastError() const { return lastError_; }

    /// The device's name as the compositor lists it.
    static constexpr const char* kDeviceName = "Quillory virtual keyboard";

private:
    void send(int code, bool down);
    void releaseHeld();

    std::unique_ptr<UinputFile> file_;
    bool created_ = false;
    QString lastError_;
    std::set<int> held_; ///< the keys our device holds down
};

/// The poster over /dev/uinput with its device created; null with the reason when it cannot be.
std::shared_ptr<KeyEventPoster> makeUinputKeyPoster(QString* reason);

} // namespace quillory::input
