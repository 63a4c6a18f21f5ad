#include "Hotkey/ShortcutActionState.h"

#include "Runtime/Log.h"

namespace quillory {

QList<ShortcutActions::Shortcut> ShortcutActions::wanted(bool toggle, bool pushToTalk) {
    QList<Shortcut> shortcuts;
    if (toggle) {
        shortcuts.append({QString::fromLatin1(kToggleId), QStringLiteral("Start or stop dictation")});
    }
    if (pushToTalk) {
        shortcuts.append({QString::fromLatin1(kPushToTalkId), QStringLiteral("Dictate while held (push-to-talk)")});
    }
    return shortcuts;
}

void ShortcutActions::setActions(Actions actions, bool pushToTalkBound) {
    actions_ = std::move(actions);
    if (!pushToTalkBound) pushToTalkHeld_ = false;
}

void ShortcutActions::clearActions() {
    actions_ = {};
    toggleHeld_ = pushToTalkHeld_ = false;
}

void ShortcutActions::pressed(const QString& id) {
    if (id == QLatin1String(kToggleId)) {
        if (toggleHeld_) return; // one toggle per press, whatever the key repeats
        toggleHeld_ = true;
        if (actions_.toggle) actions_.toggle();
    } else if (id == QLatin1String(kPushToTalkId)) {
        if (pushToTalkHeld_) return;
        pushToTalkHeld_ = true;
        if (actions_.press) actions_.press();
    }
}

void ShortcutActions::released(const QString& id) {
    if (id == QLatin1String(kToggleId)) {
        toggleHeld_ = false;
    } else if (id == QLatin1String(kPushToTalkId) && pushToTalkHeld_) {
        pushToTalkHeld_ = false;
        if (actions_.release) actions_.release();
    }
}

void ShortcutActions::releaseHeld() {
    released(QString::fromLatin1(kToggleId));
    released(QString::fromLatin1(kPushToTalkId));
}

void ShortcutActions::recordError(const QString& error) {
    lastError_ = error;
    qCWarning(lcHotkey, "%s: %s", service_, qUtf8Printable(error));
    releaseHeld();
}

} // namespace quillory
