#include "Hotkey/x11/X11HotkeyBackend.h"

#include "Hotkey/evdev/EvdevHotkeyBackend.h"
#include "Platform/linux/DesktopProbe.h"
#include "Platform/linux/DisplayServer.h"
#include "Platform/x11/XDisplay.h"
#include "Runtime/Scheduler.h"
#include "Runtime/Log.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

namespace quillory::platform {

namespace {

bool keyIsDown(const std::array<char, 32>& keymap, int keycode) {
    return keycode >= 0 && keycode < 256 && (keymap[keycode / 8] & (1 << (keycode % 8))) != 0;
}

void setKey(std::array<char, 32>& keymap, int keycode, bool down) {
    if (keycode < 0 || keycode >= 256) {
        return;
    }
    if (down) {
        keymap[keycode / 8] = static_cast<char>(keymap[keycode / 8] | (1 << (keycode % 8)));
    } else {
        keymap[keycode / 8] = static_cast<char>(keymap[keycode / 8] & ~(1 << (keycode % 8)));
    }
}

bool contains(const std::vector<int>& ids, int id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

constexpr auto kKeymapCacheLifetime = std::chrono::milliseconds(1);
constexpr int kUnknownKey = -1;
constexpr int kUnmappedModifier = -2;

} // namespace

std::unique_ptr<X11HotkeyBackend> X11HotkeyBackend::open(const ModifierKeyMap& keys, QString* error,
                                                         const char* displayName) {
    const auto fail = [error](const QString& message) {
        if (error) {
            *error = message;
        }
        return nullptr;
    };
    x11::DisplayPtr display = x11::openDisplay(error, displayName);
    if (!display) {
        return nullptr;
    }
    int opcode = 0;
    if (!x11::hasXInput(display.get(), 2, 2, &opcode)) {
        return fail(QStringLiteral("the X display %1 lacks XInput 2.2").arg(QString::fromLocal8Bit(XDisplayString(display.get()))));
    }
    Bool supported = False;
    // Held keys then repeat as presses without releases, so a held hot key is one press.
    XkbSetDetectableAutoRepeat(display.get(), True, &supported);
    return std::unique_ptr<X11HotkeyBackend>(new X11HotkeyBackend(display.release(), opcode, keys));
}

X11HotkeyBackend::X11HotkeyBackend(_XDisplay* display, int xiOpcode, const ModifierKeyMap& keys)
    : display_(display), xiOpcode_(xiOpcode), root_(DefaultRootWindow(display)), keys_(keys) {
    notifier_ = new QSocketNotifier(ConnectionNumber(display_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &X11HotkeyBackend::processEvents);
}

X11HotkeyBackend::~X11HotkeyBackend() {
    lifetime_.end();
    stop();
    removeHandler();
    unregisterHotKey();
    delete notifier_;
    notifier_ = nullptr;
    XCloseDisplay(display_);
}

void X11HotkeyBackend::setKeyMap(const ModifierKeyMap& keys) {
    keys_ = keys;
}

// ---- event reading ----

void X11HotkeyBackend::processEvents() {
    drainQueued_ = false;
    readEvents();
    deliverNext();
}

void X11HotkeyBackend::readEvents() {
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        XGenericEventCookie* cookie = &event.xcookie;
        if (cookie->type == GenericEvent && cookie->extension == xiOpcode_) {
            if (XGetEventData(display_, cookie)) {
                if (cookie->evtype == XI_HierarchyChanged) {
                    findSyntheticDevices();
                } else if (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease) {
                    const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
                    const bool press = cookie->evtype == XI_RawKeyPress;
                    cacheValid_ = false;
                    if (!contains(knownDevices_, raw->sourceid)) {
                        findSyntheticDevices(); // a device newer than our last look
                    }
                    if (contains(syntheticDevices_, raw->sourceid)) {
                        setKey(syntheticDown_, raw->detail, press);
                    } else if (streaming_ && !(raw->flags & XIKeyRepeat)) {
                        if (keys_.virtualKeyFor(raw->detail)) {
                            pending_.push_back({raw->detail, press, PendingKind::modifier});
                        } else if (press) {
                            pending_.push_back({raw->detail, true, PendingKind::otherKey});
                        }
                    }
                }
                XFreeEventData(display_, cookie);
            }
        } else if ((event.type == KeyPress || event.type == KeyRelease) && grab_ &&
                   static_cast<int>(event.xkey.keycode) == grab_->keycode) {
            pending_.push_back({grab_->keycode, event.type == KeyPress, PendingKind::grabbed});
        }
    }
}

void X11HotkeyBackend::deliverNext() {
    if (delivering_ || pending_.empty()) {
        return;
    }
    const PendingKey key = pending_.front();
    pending_.pop_front();
    delivering_ = true;
    ++eventsHandled_;
    if (key.kind == PendingKind::grabbed) {
        if (hotKeyHandler_) {
            auto handler = hotKeyHandler_;
            handler(key.down ? EventKind::pressed : EventKind::released);
        }
    } else if (key.kind == PendingKind::otherKey) {
        if (streaming_ && onChange_) {
            auto onChange = onChange_;
            onChange({0, flagsFor(handedOn_), true});
        }
    } else {
        setKey(handedOn_, key.keycode, key.down);
        const auto virtualKey = keys_.virtualKeyFor(key.keycode);
        if (streaming_ && onChange_ && virtualKey) {
            auto onChange = onChange_;
            onChange({*virtualKey, flagsFor(handedOn_)});
        }
    }
    delivering_ = false;
    if (!pending_.empty()) {
        scheduleDelivery();
    }
}

void X11HotkeyBackend::scheduleDelivery() {
    // After the work the last event queued (the manager handles a change on the next turn).
    delivery_.request();
}

void X11HotkeyBackend::drainSoon() {
    // A round trip may have moved events into Xlib's queue without the socket becoming readable
    // again; they are handled on the next turn of the loop.
    if (!drainQueued_ && XEventsQueued(display_, QueuedAlready) > 0) {
        drainQueued_ = true;
        QMetaObject::invokeMethod(this, &X11HotkeyBackend::processEvents, Qt::QueuedConnection);
    }
}

// ---- modifier changes ----

bool X11HotkeyBackend::selectRawEvents(bool on) {
    unsigned char rawBits[XIMaskLen(XI_LASTEVENT)] = {};
    unsigned char hierarchyBits[XIMaskLen(XI_LASTEVENT)] = {};
    if (on) {
        XISetMask(rawBits, XI_RawKeyPress);
        XISetMask(rawBits, XI_RawKeyRelease);
        XISetMask(hierarchyBits, XI_HierarchyChanged);
    }
    XIEventMask masks[2];
    masks[0].deviceid = XIAllMasterDevices; // one raw event per key, naming its source device
    masks[0].mask_len = sizeof(rawBits);
    masks[0].mask = rawBits;
    masks[1].deviceid = XIAllDevices; // devices added and removed
    masks[1].mask_len = sizeof(hierarchyBits);
    masks[1].mask = hierarchyBits;
    x11::ErrorTrap trap(display_);
    XISelectEvents(display_, root_, masks, 2);
    const int error = trap.finish();
    if (on && error == 0) {
        // After the selection, so that a device added from now on is seen in a hierarchy event.
        syntheticDown_ = {};
        findSyntheticDevices();
    }
    drainSoon();
    return error == 0;
}

void X11HotkeyBackend::findSyntheticDevices() {
    syntheticDevices_.clear();
    knownDevices_.clear();
    const Atom xtestProperty = XInternAtom(display_, "XTEST Device", True);
    x11::ErrorTrap trap(display_); // a device may go away while we look
    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(display_, XIAllDevices, &count);
    for (int i = 0; devices && i < count; ++i) {
        const XIDeviceInfo& device = devices[i];
        if (device.use == XIMasterKeyboard || device.use == XIMasterPointer) {
            continue;
        }
        knownDevices_.push_back(device.deviceid);
        bool synthetic = false;
        if (xtestProperty != None) {
            Atom type = None;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char* data = nullptr;
            if (XIGetProperty(display_, device.deviceid, xtestProperty, 0, 1, False, AnyPropertyType, &type,
                              &format, &items, &after, &data) == Success &&
                data) {
                synthetic = items > 0 && data[0] != 0; // 1 on XTEST devices
            }
            if (data) {
                XFree(data);
            }
        }
        if (!synthetic && device.name && std::strstr(device.name, "XTEST")) {
            synthetic = true; // servers without the property name them "<master> XTEST keyboard"
        }
        if (synthetic) {
            syntheticDevices_.push_back(device.deviceid);
        }
    }
    if (devices) {
        XIFreeDeviceInfo(devices);
    }
    trap.finish();
    cacheValid_ = false;
}

bool X11HotkeyBackend::start(std::function<void(const ModifierChange&)> onChange,
                             std::function<void(std::uint32_t)> /*onDisabled: selections are never disabled*/) {
    onChange_ = std::move(onChange);
    if (!selectRawEvents(true)) {
        onChange_ = nullptr;
        return false;
    }
    streaming_ = true;
    cacheValid_ = false;
    handedOn_ = liveKeymap();
    drainSoon();
    return true;
}

void X11HotkeyBackend::stop() {
    if (!streaming_) {
        return;
    }
    streaming_ = false;
    onChange_ = nullptr;
    std::erase_if(pending_, [](const PendingKey& k) { return k.kind != PendingKind::grabbed; });
    selectRawEvents(false);
}

// ---- key states ----

X11HotkeyBackend::Keymap X11HotkeyBackend::liveKeymap() {
    const auto now = std::chrono::steady_clock::now();
    if (!cacheValid_ || now - cachedAt_ > kKeymapCacheLifetime) {
        XQueryKeymap(display_, cachedKeymap_.data());
        for (std::size_t i = 0; i < cachedKeymap_.size(); ++i) {
            // A key that is up has no synthetic press left to hide (a release we did not see).
            syntheticDown_[i] = static_cast<char>(syntheticDown_[i] & cachedKeymap_[i]);
        }
        cachedAt_ = now;
        cacheValid_ = true;
    }
    // Masked at each use: a synthetic press read after the query still hides its key.
    Keymap keymap = cachedKeymap_;
    for (std::size_t i = 0; i < keymap.size(); ++i) {
        keymap[i] = static_cast<char>(keymap[i] & ~syntheticDown_[i]);
    }
    return keymap;
}

bool X11HotkeyBackend::anyDown(const Keymap& keymap, std::uint16_t virtualKey) const {
    for (int keycode : keys_.keysFor(virtualKey)) {
        if (keyIsDown(keymap, keycode)) {
            return true;
        }
    }
    return false;
}

std::uint64_t X11HotkeyBackend::flagsFor(const Keymap& keymap) const {
    return HotkeyKeys::flagsOf([&](std::uint16_t key) { return anyDown(keymap, key); });
}

bool X11HotkeyBackend::isKeyDown(KeyStateSource /*both sources are the server's key state*/,
                                 std::uint16_t keyCode) {
    if (!HotkeyKeys::isModifier(keyCode)) {
        return false;
    }
    if (delivering_ || !pending_.empty()) {
        return anyDown(handedOn_, keyCode);
    }
    readEvents(); // events the server sent but nobody read yet come before the live state
    if (pending_.empty()) {
        liveKeymap();
        if (XEventsQueued(display_, QueuedAlready) > 0) {
            readEvents();
        }
        if (pending_.empty()) {
            // Nothing in flight: the server's state is the truth (the cached answer of the query
            // above, with what synthetic devices pressed meanwhile taken out).
            cacheValid_ = true;
            handedOn_ = liveKeymap();
            return anyDown(handedOn_, keyCode);
        }
    }
    scheduleDelivery();
    return anyDown(handedOn_, keyCode);
}

// ---- the registered hot key ----

std::optional<int> X11HotkeyBackend::keycodeForVirtualKey(std::uint32_t keyCode) {
    // Core key code → Linux input code; the X keycode is the input code plus 8.
    static const std::map<std::uint32_t, int> table = {
        {0x00, 30}, {0x01, 31}, {0x02, 32}, {0x03, 33}, {0x04, 35}, {0x05, 34}, {0x06, 44}, {0x07, 45},
        {0x08, 46}, {0x09, 47}, {0x0B, 48}, {0x0C, 16}, {0x0D, 17}, {0x0E, 18}, {0x0F, 19}, {0x10, 21},
        {0x11, 20}, {0x12, 2},  {0x13, 3},  {0x14, 4},  {0x15, 5},  {0x16, 7},  {0x17, 6},  {0x18, 13},
        {0x19, 10}, {0x1A, 8},  {0x1B, 12}, {0x1C, 9},  {0x1D, 11}, {0x1E, 27}, {0x1F, 24}, {0x20, 22},
        {0x21, 26}, {0x22, 23}, {0x23, 25}, {0x24, 28}, {0x25, 38}, {0x26, 36}, {0x27, 40}, {0x28, 37},
        {0x29, 39}, {0x2A, 43}, {0x2B, 51}, {0x2C, 53}, {0x2D, 49}, {0x2E, 50}, {0x2F, 52}, {0x30, 15},
        {0x31, 57}, {0x32, 41}, {0x33, 14}, {0x35, 1},  {0x5D, 124}, {0x5E, 89}, {0x66, 94}, {0x68, 92},
        {0x7A, 59}, {0x78, 60}, {0x63, 61}, {0x76, 62}, {0x60, 63}, {0x61, 64}, {0x62, 65}, {0x64, 66},
        {0x65, 67}, {0x6D, 68}, {0x67, 87}, {0x6F, 88}, {0x73, 102}, {0x74, 104}, {0x75, 111}, {0x77, 107},
        {0x79, 109}, {0x7B, 105}, {0x7C, 106}, {0x7D, 108}, {0x7E, 103},
    };
    const auto it = table.find(keyCode);
    if (it == table.end()) {
        return std::nullopt;
    }
    return it->second + 8;
}

unsigned X11HotkeyBackend::modifierMaskOfKey(int keycode) const {
    unsigned mask = 0;
    XModifierKeymap* map = XGetModifierMapping(display_);
    if (!map) {
        return 0;
    }
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int i = 0; i < map->max_keypermod; ++i) {
            if (map->modifiermap[modifier * map->max_keypermod + i] == keycode) {
                mask |= 1u << modifier;
            }
        }
    }
    XFreeModifiermap(map);
    return mask;
}

int X11HotkeyBackend::registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers) {
    unregisterHotKey();
    const auto keycode = keycodeForVirtualKey(keyCode);
    if (!keycode) {
        return kUnknownKey;
    }
    unsigned mask = 0;
    if (modifiers & shiftKey) {
        mask |= ShiftMask;
    }
    if (modifiers & controlKey) {
        mask |= ControlMask;
    }
    // Command and Option are whatever X modifiers their physical keys carry.
    const auto maskOf = [this](std::uint16_t left, std::uint16_t right) {
        unsigned m = 0;
        for (auto vk : {left, right}) {
            for (int k : keys_.keysFor(vk)) {
                m |= modifierMaskOfKey(k);
            }
        }
        return m;
    };
    for (const auto& [bit, left, right] : {std::tuple{cmdKey, HotkeyKeys::leftCommand, HotkeyKeys::rightCommand},
                                           std::tuple{optionKey, HotkeyKeys::leftOption, HotkeyKeys::rightOption}}) {
        if (modifiers & bit) {
            const unsigned m = maskOf(left, right);
            if (m == 0) {
                return kUnmappedModifier; // grabbing the bare key instead would swallow it everywhere
            }
            mask |= m;
        }
    }
    unsigned numLock = 0;
    if (const KeyCode numLockKey = XKeysymToKeycode(display_, XK_Num_Lock)) {
        numLock = modifierMaskOfKey(numLockKey);
    }
    x11::ErrorTrap trap(display_);
    for (unsigned variant : {0u, unsigned(LockMask), numLock, unsigned(LockMask) | numLock}) {
        XGrabKey(display_, *keycode, mask | variant, root_, False, GrabModeAsync, GrabModeAsync);
    }
    const int error = trap.finish();
    drainSoon();
    grab_ = Grab{*keycode, mask};
    if (error != 0) {
        // Part of the combinations may have been granted; give them back.
        unregisterHotKey();
        return error;
    }
    return 0;
}

void X11HotkeyBackend::unregisterHotKey() {
    if (!grab_) {
        return;
    }
    unsigned numLock = 0;
    if (const KeyCode numLockKey = XKeysymToKeycode(display_, XK_Num_Lock)) {
        numLock = modifierMaskOfKey(numLockKey);
    }
    x11::ErrorTrap trap(display_);
    for (unsigned variant : {0u, unsigned(LockMask), numLock, unsigned(LockMask) | numLock}) {
        XUngrabKey(display_, grab_->keycode, grab_->modifiers | variant, root_);
    }
    trap.finish();
    drainSoon();
    grab_.reset();
}

int X11HotkeyBackend::installHandler(std::function<void(EventKind)> handler) {
    hotKeyHandler_ = std::move(handler);
    return 0;
}

void X11HotkeyBackend::removeHandler() {
    hotKeyHandler_ = nullptr;
}

std::unique_ptr<HotkeyPlatformOwner> openHotkeyBackend(const ModifierKeyMap& keys, QString* reason) {
    const DisplayServerInfo display = currentDisplayServer();
    QString why;
    std::unique_ptr<HotkeyPlatformOwner> backend;
    if (display.waylandSession) {
        // XInput2 on XWayland hears only keys typed into X11 windows: the desktop choice decides.
        const DesktopBackends choice = currentDesktopBackends();
        if (choice.hotkeys.path == DesktopPaths::evdev) {
            backend = EvdevHotkeyBackend::open(keys, systemEvdevDevices(), &why);
        } else if (choice.hotkeys.path == DesktopPaths::kglobalaccel ||
                   choice.hotkeys.path == DesktopPaths::globalShortcutsPortal) {
            // The desktop's shortcut service calls the actions itself (DesktopServices): no key
            // monitor, and nothing is missing.
            if (reason) {
                *reason = QStringLiteral("Wayland session: the shortcuts go through %1").arg(choice.hotkeys.path);
            }
            return nullptr;
        } else {
            why = choice.hotkeys.works()
                  ? QStringLiteral("Wayland session: no backend for %1 in this program").arg(choice.hotkeys.path)
                  : QStringLiteral("Wayland session: %1. %2").arg(choice.hotkeys.reason, choice.hotkeys.fix());
        }
    } else if (display.type != SessionType::x11) {
        why = QStringLiteral("no X11 display (%1)").arg(describe(display));
    } else {
        backend = X11HotkeyBackend::open(keys, &why);
    }
    if (!backend) {
        qCWarning(lcHotkey, "Global hotkeys unavailable: %s", qUtf8Printable(why));
        if (reason) {
            *reason = why;
        }
        return nullptr;
    }
    return backend;
}

} // namespace quillory::platform
