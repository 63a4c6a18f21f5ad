#pragma once

// The chords the KDE shortcut-service and shortcuts-portal tests and the bench type through KWin's
// fake-input: the toggle on Meta+Alt+F12 as Quillory's settings give it, and push-to-talk on
// Meta+Alt+F11 as System Settings assigns it.

#include "Hotkey/HotkeyConfig.h"
#include "Hotkey/ModifierKeyMap.h"
#include "Hotkey/kde/KGlobalAccelBackend.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>

namespace quillory::test {

/// evdev codes of the chords' keys.
namespace chordKeys {
inline constexpr quint32 meta = 125, alt = 56, f11 = 87, f12 = 88;
}

/// The settings of a toggle on Meta+Alt+F12: Command is the left Meta key here, Option the Alt keys.
struct ToggleChord {
    HotkeyConfig config;
    ModifierKeyMap keys;
};
inline ToggleChord metaAltF12Toggle() {
    ToggleChord chord;
    chord.config.toggleDoubleCommand = false;
    chord.config.keyCode = 0x6F; // F12
    chord.config.modifiers = 0x0100 | 0x0800;
    chord.keys = ModifierKeyMap::defaults();
    chord.keys.rightCommand.clear();
    chord.keys.leftCommand = {133}; // LWIN
    return chord;
}

inline int metaAltF12() {
    return (Qt::MetaModifier | Qt::AltModifier | Qt::Key_F12).toCombined();
}
inline int metaAltF11() {
    return (Qt::MetaModifier | Qt::AltModifier | Qt::Key_F11).toCombined();
}

/// Gives `action` of kglobalaccel's `component` the key `key` the way System Settings does; the
/// service's error in `why`.
inline bool assignInSystemSettings(const QString& component, const QString& componentName, const QString& action,
                                   int key, int timeoutMs, QString* why) {
    qDBusRegisterMetaType<QList<int>>();
    QDBusMessage assign = QDBusMessage::createMethodCall(QStringLiteral("org.kde.kglobalaccel"),
                                                         QStringLiteral("/kglobalaccel"),
                                                         QStringLiteral("org.kde.KGlobalAccel"),
                                                         QStringLiteral("setShortcut"));
    assign << QStringList{component, action, componentName, QString()} << QVariant::fromValue(QList<int>{key})
           << uint(KGlobalAccelBackend::setPresent | KGlobalAccelBackend::noAutoloading);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(assign, QDBus::Block, timeoutMs);
    *why = reply.errorMessage();
    return reply.type() == QDBusMessage::ReplyMessage;
}

/// Gives push-to-talk Meta+Alt+F11 the way System Settings does; the service's error in `why`.
inline bool assignPushToTalkInSystemSettings(int timeoutMs, QString* why) {
    return assignInSystemSettings(KGlobalAccelBackend::kComponent, KGlobalAccelBackend::kComponentName,
                                  ShortcutActions::kPushToTalkId, metaAltF11(), timeoutMs, why);
}

} // namespace quillory::test
