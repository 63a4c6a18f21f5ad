#include "Platform/SystemDoctor.h"

#include "Hotkey/ModifierKeyMap.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace quillory::Doctor {

namespace {
using Session = PermissionProbes::Session;

Check ok(const char* id, const char* title, QString detail) {
    return {QString::fromLatin1(id), Level::ok, QString::fromLatin1(title), std::move(detail), {}};
}
Check warn(const char* id, const char* title, QString detail, QString advice) {
    return {QString::fromLatin1(id), Level::warn, QString::fromLatin1(title), std::move(detail),
            std::move(advice)};
}
Check fail(const char* id, const char* title, QString detail, QString advice) {
    return {QString::fromLatin1(id), Level::fail, QString::fromLatin1(title), std::move(detail),
            std::move(advice)};
}

Check displayCheck(const ProbeResults& r) {
    const QString type = r.sessionType.isEmpty() ? QStringLiteral("session type not set") : r.sessionType;
    const QString detail = QStringLiteral("%1 (%2)").arg(r.displayDescription, type);
    switch (r.session) {
    case Session::none:
        return fail(
            "display", "Display server", detail,
            QStringLiteral("no graphical session: run Quillory from your desktop session, or set "
                           "DISPLAY (for example 'export DISPLAY=:0') when you start it from a terminal"));
    case Session::x11:
        if (!r.xConnected) {
            return fail("display", "Display server", detail + QStringLiteral(": cannot open the X display"),
                        QStringLiteral("check that DISPLAY names your running X server and that 'xhost' or "
                                       "XAUTHORITY lets you connect"));
        }
        if (r.waylandSession) {
            return ok("display", "Display server",
                      detail + QStringLiteral(": XTest and XInput2 on XWayland reach X11 windows only and are "
                                              "not used (see the paths below)"));
        }
        return ok("display", "Display server", detail);
    case Session::wayland:
        return warn("display", "Display server", detail + QStringLiteral(": no XWayland display"),
                    QStringLiteral("the tray app and its windows need XWayland: install it (package xwayland) "
                                   "or enable it in the compositor's settings"));
    }
    return ok("display", "Display server", detail);
}

Check extensionCheck(const ProbeResults& r, const char* id, const char* title, std::optional<bool> present,
                     const char* purpose) {
    if (!r.xConnected || !present.has_value()) {
        return warn(id, title, QStringLiteral("not checked: no X display"),
                    QStringLiteral("start an X11 session (see the display line)"));
    }
    if (*present) {
        return ok(id, title, QStringLiteral("present"));
    }
    return fail(id, title, QStringLiteral("missing: %1").arg(QString::fromLatin1(purpose)),
                QStringLiteral("use an X server with this extension (Xorg and Xwayland have it)"));
}

Check pathCheck(const char* id, const char* title, const BackendChoice& c, Level whenNone) {
    QString detail = QStringLiteral("%1 \u2014 %2").arg(c.path, c.reason);
    if (!c.limitation.isEmpty()) {
        detail += QStringLiteral(" (limitation: %1)").arg(c.limitation);
    }
    if (c.works()) {
        return ok(id, title, detail);
    }
    return {QString::fromLatin1(id), whenNone, QString::fromLatin1(title), detail, c.fix()};
}

QList<Check> pathChecks(const DesktopBackends& b) {
    return {pathCheck("paste-path", "Paste key", b.paste, Level::fail),
            pathCheck("clipboard-path", "Clipboard", b.clipboard, Level::fail),
            pathCheck("hotkey-path", "Shortcut keys", b.hotkeys, Level::warn),
            pathCheck("overlay-path", "Overlay", b.overlay, Level::warn)};
}

Check accessibilityCheck(const ProbeResults& r) {
    if (r.accessibilityBusReachable) {
        return ok("atspi", "Accessibility bus (AT-SPI)", r.accessibilityBusDetail);
    }
    return warn(
        "atspi", "Accessibility bus (AT-SPI)",
        QStringLiteral("not reachable (%1): the focused text field cannot be read; pasting still works")
            .arg(r.accessibilityBusDetail),
        QStringLiteral("install at-spi2-core and log in again; the session bus "
                       "(DBUS_SESSION_BUS_ADDRESS) must be set"));
}

QList<Check> audioChecks(const ProbeResults& r) {
    if (!r.audioServerReachable) {
        const QString detail = r.audioError.isEmpty() ? QStringLiteral("not reachable")
                                                      : QStringLiteral("not reachable: %1").arg(r.audioError);
        return {
            fail("audio-server", "Sound server (PulseAudio/PipeWire)", detail,
                 QStringLiteral("start the sound server: 'systemctl --user start pipewire-pulse' (PipeWire) "
                                "or 'pulseaudio --start'")),
            warn("microphone", "Microphone", QStringLiteral("not checked: no sound server"),
                 QStringLiteral("fix the sound server first"))};
    }
    QList<Check> checks{ok("audio-server", "Sound server (PulseAudio/PipeWire)", r.audioServer)};
    if (r.captureSources.isEmpty()) {
        checks << fail("microphone", "Microphone",
                       QStringLiteral("no capture source (only monitors of outputs)"),
                       QStringLiteral("connect a microphone and check 'pactl list short sources'"));
    } else if (r.defaultSourceIsMonitor) {
        checks << warn(
            "microphone", "Microphone",
            QStringLiteral("the default source %1 is the monitor of an output").arg(r.defaultSource),
            QStringLiteral("choose a microphone as the input in the sound settings, or "
                           "'pactl set-default-source %1'")
                .arg(r.captureSources.first()));
    } else {
        checks << ok("microphone", "Microphone",
                     QStringLiteral("%1 source(s); default %2")
                         .arg(r.captureSources.size())
                         .arg(r.defaultSource.isEmpty() ? QStringLiteral("not set") : r.defaultSource));
    }
    return checks;
}

Check hotkeyCheck(const ProbeResults& r) {
    const QString what = r.hotkeyDetail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(r.hotkeyDetail);
    if (!r.hotkeyRegistered.has_value()) {
        return warn(
            "hotkey", "Shortcut registration", QStringLiteral("not checked") + what,
            QStringLiteral("run 'quillory hotkey monitor' and press the shortcut to see what arrives"));
    }
    if (*r.hotkeyRegistered) {
        return ok("hotkey", "Shortcut registration", QStringLiteral("registered") + what);
    }
    return fail(
        "hotkey", "Shortcut registration", QStringLiteral("could not be registered") + what,
        QStringLiteral("another program holds the key: choose another shortcut in the hotkey settings, "
                       "or free it in that program"));
}

/// A configured server: its address refused (a failure with the fix), silent (a warning: dictation
/// goes on without it) or answering.
QList<Check> serverCheck(const std::optional<ProbeResults::SpeechServer>& server, const char* id, const char* title,
                         const QString& keyPrefix, const QString& withoutIt) {
    if (!server) {
        return {};
    }
    const ProbeResults::SpeechServer& s = *server;
    if (!s.addressProblem.isEmpty()) {
        return {fail(id, title, QStringLiteral("%1: %2").arg(s.address, s.addressProblem),
                     QStringLiteral("set an https:// address in %1.url, or confirm the private address with "
                                    "%1.privateConfirmed; until then %2")
                         .arg(keyPrefix, withoutIt))};
    }
    if (!s.answered) {
        return {warn(id, title, QStringLiteral("%1 (%2) did not answer: %3").arg(s.address, s.api, s.error),
                     QStringLiteral("dictation falls back: %1; start the server or check %2.url and .api")
                         .arg(withoutIt, keyPrefix))};
    }
    return {ok(id, title, QStringLiteral("%1 (%2) answered in %3 ms").arg(s.address, s.api).arg(s.latencyMs))};
}

QList<Check> speechServerCheck(const ProbeResults& r) {
    return serverCheck(r.speechServer, "speech-server", "Recognition server", QStringLiteral("quillory.speech.server"),
                       QStringLiteral("this computer recognises"));
}

Check speechRuntimeCheck(const ProbeResults& r) {
    if (r.speechCpuVariant.isEmpty()) {
        return fail("speech-runtime", "Speech recognition (whisper.cpp)", r.speechCpuDetail,
                    QStringLiteral("reinstall Quillory: its package carries whisper.cpp's CPU variants in "
                                   "lib/quillory/whisper beside bin/"));
    }
    return ok("speech-runtime", "Speech recognition (whisper.cpp)",
              QStringLiteral("CPU variant %1 (%2)").arg(r.speechCpuVariant, r.speechCpuDetail));
}

Check speechDeviceCheck(const ProbeResults& r) {
    const QString detail = QStringLiteral("%1: %2").arg(r.speechDevice, r.speechDeviceReason);
    if (!r.speechOnGpu && r.speechDevicePreference == QLatin1String("gpu")) {
        return warn("speech-device", "Recognition device", detail,
                    QStringLiteral("quillory.speech.device asks for the GPU, which cannot be used: recognition "
                                   "runs on the CPU"));
    }
    return ok("speech-device", "Recognition device", detail);
}

QList<Check> polishServerCheck(const ProbeResults& r) {
    return serverCheck(r.polishServer, "polish-server", "Polish server", QStringLiteral("quillory.polish.server"),
                       QStringLiteral("the text is pasted unpolished"));
}

Check runtimeCheck(const ProbeResults& r) {
    if (!r.hostSupportsRuntime) {
        return warn("llama-runtime", "Polish runtime (llama-server)",
                    QStringLiteral("this processor is not supported (x86_64 and aarch64 are)"),
                    QStringLiteral("dictation works without polishing; nothing to do"));
    }
    if (!r.runtimeExecutable.isEmpty()) {
        return ok("llama-runtime", "Polish runtime (llama-server)", r.runtimeExecutable);
    }
    const QString advice = QStringLiteral("install llama-server into libexec/quillory beside the quillory "
                                          "executable, or set QUILLORY_RUNTIME_DIR to its folder");
    if (r.polishEnabled) {
        return fail("llama-runtime", "Polish runtime (llama-server)",
                    QStringLiteral("not found, but polishing is on"), advice);
    }
    return warn("llama-runtime", "Polish runtime (llama-server)",
                QStringLiteral("not found (polishing is off)"), advice);
}

Check modelsCheck(const ProbeResults& r) {
    if (!r.polishEnabled) {
        return ok("models", "Polish models",
                  QStringLiteral("polishing is off; %1 model(s) downloaded").arg(r.modelsPresent));
    }
    if (r.selectedModelPresent) {
        return ok("models", "Polish models", QStringLiteral("%1 downloaded").arg(r.selectedModel));
    }
    return warn("models", "Polish models",
                QStringLiteral("%1 is not downloaded yet (%2); it downloads at the first polish")
                    .arg(r.selectedModel, r.selectedModelDownloadSize),
                QStringLiteral("download it now: 'quillory models download %1'").arg(r.selectedModel));
}

Check autostartCheck(const ProbeResults& r) {
    const auto& a = r.autostart;
    if (!countsAsEnabled(a.status)) {
        return ok("autostart", "Launch at login", QStringLiteral("off"));
    }
    if (!r.autostartProgramRuns) {
        return warn("autostart", "Launch at login",
                    QStringLiteral("on, but %1 starts %2, which is missing or not executable")
                        .arg(a.path, a.program.isEmpty() ? QStringLiteral("nothing") : a.program),
                    QStringLiteral("turn launch at login off and on again in the settings, or delete %1")
                        .arg(a.path));
    }
    return ok("autostart", "Launch at login", QStringLiteral("on (%1)").arg(a.path));
}
} // namespace

namespace {
HotkeyRegistrationCheck& installedHotkeyCheck() {
    static HotkeyRegistrationCheck check;
    return check;
}
} // namespace

HotkeyRegistrationCheck setHotkeyRegistrationCheck(HotkeyRegistrationCheck check) {
    std::swap(installedHotkeyCheck(), check);
    return check;
}

HotkeyRegistrationCheck hotkeyRegistrationCheck() {
    return installedHotkeyCheck();
}

QString describeHotkeys(const HotkeyConfig& c, const ModifierKeyMap& keys) {
    // The physical keys that stand for each role, as the settings window names them.
    const QString command = ModifierKeyMap::keysName(keys.commandKeys());
    const QString option = ModifierKeyMap::keysName(keys.optionKeys());
    const QString fn = ModifierKeyMap::keysName(keys.fn);
    QString toggle = QStringLiteral("off");
    if (c.toggleShortcutEnabled) {
        if (c.toggleDoubleCommand) {
            toggle = QStringLiteral("%1 twice").arg(command);
        } else if (c.modifierChordFnRightShift) {
            toggle = QStringLiteral("%1 + Right Shift").arg(fn);
        } else if (c.keyCode != 0) {
            toggle = QStringLiteral("key code %1 with modifiers 0x%2")
                         .arg(c.keyCode)
                         .arg(c.modifiers, 0, 16);
        } else {
            toggle = QStringLiteral("no key set");
        }
    }
    QStringList chords;
    if (c.pushToTalkShortcutEnabled) {
        if (c.modifierChordFnCommand) {
            chords << QStringLiteral("%1 + %2").arg(fn, command);
        }
        if (c.modifierChordFnOption) {
            chords << QStringLiteral("%1 + %2").arg(fn, option);
        }
    }
    return QStringLiteral("toggle: %1; push-to-talk: %2")
        .arg(toggle, chords.isEmpty() ? QStringLiteral("off") : chords.join(QStringLiteral(", ")));
}

QList<Check> evaluate(const ProbeResults& r) {
    QList<Check> checks{displayCheck(r)};
    if (!r.waylandSession) {
        checks << extensionCheck(r, "xinput2", "XInput2 (shortcut keys)", r.xinput2,
                                 "shortcut keys cannot be heard");
        checks << extensionCheck(r, "xtest", "XTEST (typing)", r.xtest, "dictated text cannot be typed");
    } else if (r.backends) {
        checks << pathChecks(*r.backends);
    }
    checks << accessibilityCheck(r);
    checks << audioChecks(r);
    checks << speechServerCheck(r) << speechRuntimeCheck(r);
    if (!r.speechDevice.isEmpty()) {
        checks << speechDeviceCheck(r);
    }
    checks << hotkeyCheck(r) << runtimeCheck(r) << modelsCheck(r);
    checks << polishServerCheck(r);
    checks << autostartCheck(r);
    return checks;
}

QString levelName(Level level) {
    switch (level) {
    case Level::ok:
        return QStringLiteral("OK");
    case Level::warn:
        return QStringLiteral("WARN");
    case Level::fail:
        return QStringLiteral("FAIL");
    }
    return QStringLiteral("FAIL");
}

QString formatText(const QList<Check>& checks) {
    QString out;
    for (const Check& c : checks) {
        QString line =
            QStringLiteral("%1  %2: %3").arg(levelName(c.level).leftJustified(4), c.title, c.detail);
        if (c.level != Level::ok && !c.advice.isEmpty()) {
            line += QStringLiteral(" \u2014 ") + c.advice;
        }
        out += line + QLatin1Char('\n');
    }
    return out;
}

QString formatPaths(const DesktopBackends& b) {
    return QStringLiteral("Paths (%1): %2\n").arg(familyName(b.family), b.summary());
}

QByteArray formatJson(const QList<Check>& checks, const std::optional<DesktopBackends>& paths) {
    QJsonArray list;
    int failures = 0;
    int warnings = 0;
    for (const Check& c : checks) {
        failures += c.level == Level::fail;
        warnings += c.level == Level::warn;
        list.append(QJsonObject{{QStringLiteral("id"), c.id},
                                {QStringLiteral("status"), levelName(c.level)},
                                {QStringLiteral("title"), c.title},
                                {QStringLiteral("detail"), c.detail},
                                {QStringLiteral("advice"), c.advice}});
    }
    QJsonObject root{{QStringLiteral("checks"), list},
                     {QStringLiteral("failures"), failures},
                     {QStringLiteral("warnings"), warnings}};
    if (paths) {
        QJsonObject names{{QStringLiteral("desktop"), familyName(paths->family)}};
        QJsonObject details;
        const std::pair<const char*, const BackendChoice*> parts[] = {{"paste", &paths->paste},
                                                                      {"clipboard", &paths->clipboard},
                                                                      {"hotkeys", &paths->hotkeys},
                                                                      {"overlay", &paths->overlay}};
        for (const auto& [name, c] : parts) {
            names.insert(QString::fromLatin1(name), c->path);
            details.insert(QString::fromLatin1(name), QJsonObject{{QStringLiteral("reason"), c->reason},
                                                                  {QStringLiteral("limitation"), c->limitation},
                                                                  {QStringLiteral("fix"), c->fix()}});
        }
        root.insert(QStringLiteral("paths"), names);
        root.insert(QStringLiteral("pathDetails"), details);
    }
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

int exitStatus(const QList<Check>& checks) {
    return std::any_of(checks.begin(), checks.end(), [](const Check& c) { return c.level == Level::fail; })
               ? 1
               : 0;
}

} // namespace quillory::Doctor
