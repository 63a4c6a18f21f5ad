#include "Platform/linux/DisplayServer.h"

namespace quillory::platform {

DisplayServerInfo displayServerFrom(const QProcessEnvironment& env) {
    DisplayServerInfo info;
    info.display = env.value(QStringLiteral("DISPLAY"));
    info.waylandDisplay = env.value(QStringLiteral("WAYLAND_DISPLAY"));
    const QString sessionType = env.value(QStringLiteral("XDG_SESSION_TYPE")).trimmed().toLower();
    info.waylandSession = !info.waylandDisplay.isEmpty() || sessionType == QLatin1String("wayland");
    if (!info.display.isEmpty()) {
        info.type = SessionType::x11;
    } else if (info.waylandSession) {
        info.type = SessionType::wayland;
    }
    return info;
}

DisplayServerInfo currentDisplayServer() {
    return displayServerFrom(QProcessEnvironment::systemEnvironment());
}

QString describe(const DisplayServerInfo& info) {
    switch (info.type) {
    case SessionType::x11:
        return info.waylandSession ? QStringLiteral("Wayland (XWayland %1)").arg(info.display)
                                   : QStringLiteral("X11 %1").arg(info.display);
    case SessionType::wayland:
        return QStringLiteral("Wayland %1").arg(info.waylandDisplay);
    case SessionType::none:
        break;
    }
    return QStringLiteral("none");
}

} // namespace quillory::platform
