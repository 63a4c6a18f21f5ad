#pragma once

#include "Hotkey/HotkeyBackend.h"
#include "support/LogCapture.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <set>

namespace quillory::testing {

/// A keyboard and hot-key service in memory. `press`/`release` change the key state and report
/// the change the way a platform monitor does; `releaseUnreported` changes the state only (a lost
/// event). Keys use the core's codes.
class FakeHotkeyPlatform final : public ModifierEventStream, public KeyStateQuery, public HotKeyRegistrar {
public:
    // keyboard
    std::set<std::uint16_t> deviceDown;  ///< the device state
    std::set<std::uint16_t> sessionDown; ///< the session state (e.g. keys posted by software)

    void press(std::uint16_t key) {
        deviceDown.insert(key);
        report(key);
    }
    void release(std::uint16_t key) {
        deviceDown.erase(key);
        report(key);
    }
    void releaseUnreported(std::uint16_t key) { deviceDown.erase(key); }
    /// A key outside the modifiers goes down (a letter of a shortcut).
    void pressOther() {
        if (streaming && onChange) {
            auto handler = onChange;
            handler({0, flags(), true});
        }
    }
    std::uint64_t flags() const {
        const auto down = [this](std::uint16_t k) { return deviceDown.count(k) || sessionDown.count(k); };
        std::uint64_t f = 0;
        if (down(HotkeyKeys::leftCommand) || down(HotkeyKeys::rightCommand)) {
            f |= HotkeyKeys::commandFlag;
        }
        if (down(HotkeyKeys::leftOption) || down(HotkeyKeys::rightOption)) {
            f |= HotkeyKeys::optionFlag;
        }
        if (down(HotkeyKeys::fn)) {
            f |= HotkeyKeys::secondaryFnFlag;
        }
        return f;
    }
    void report(std::uint16_t key) { report(key, flags()); }
    void report(std::uint16_t key, std::uint64_t withFlags) {
        if (streaming && onChange) {
            auto handler = onChange;
            handler({key, withFlags});
        }
    }

    // ModifierEventStream
    bool startSucceeds = true;
    bool streaming = false;
    int starts = 0;
    int stops = 0;
    int reenables = 0;
    std::function<void(const ModifierChange&)> onChange;
    std::function<void(std::uint32_t)> onDisabled;
    bool start(std::function<void(const ModifierChange&)> change, std::function<void(std::uint32_t)> disabled) override {
        ++starts;
        if (!startSucceeds) {
            return false;
        }
        onChange = std::move(change);
        onDisabled = std::move(disabled);
        streaming = true;
        return true;
    }
    void reenable() override { ++reenables; }
    void stop() override {
        ++stops;
        streaming = false;
        onChange = nullptr;
        onDisabled = nullptr;
    }

    // KeyStateQuery
    int queries = 0;
    bool isKeyDown(KeyStateSource source, std::uint16_t key) override {
        ++queries;
        return source == KeyStateSource::devices ? deviceDown.count(key) > 0 : sessionDown.count(key) > 0;
    }

    // HotKeyRegistrar
    int registerStatus = 0;
    int handlerStatus = 0;
    int registered = 0; ///< hot keys currently registered
    int handlers = 0;   ///< handlers currently installed
    std::uint32_t keyCode = 0;
    std::uint32_t modifiers = 0;
    std::function<void(EventKind)> handler;
    int registerHotKey(std::uint32_t code, std::uint32_t mods) override {
        if (registerStatus != 0) {
            return registerStatus;
        }
        ++registered;
        keyCode = code;
        modifiers = mods;
        return 0;
    }
    void unregisterHotKey() override { --registered; }
    int installHandler(std::function<void(EventKind)> h) override {
        if (handlerStatus != 0) {
            return handlerStatus;
        }
        ++handlers;
        handler = std::move(h);
        return 0;
    }
    void removeHandler() override {
        --handlers;
        handler = nullptr;
    }
    void hotKey(EventKind kind) {
        if (handler) {
            handler(kind);
        }
    }

    HotkeyPlatform platform() { return {this, this, this}; }
};

} // namespace quillory::testing
