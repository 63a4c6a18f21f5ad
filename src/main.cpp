#include "Cli/Cli.h"
#include "Input/wayland/WaylandInputPlatform.h"
#include "Input/x11/X11Connection.h"
#include "Platform/linux/DisplayServer.h"
#include "Platform/linux/SecretService.h"
#include "Strings/StringTables.h"
#include "UI/App/TrayApp.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>
#include <memory>

namespace {

/// The application object for the command line: a graphical one only for the commands that
/// need a display, so that everything else runs on a console or over ssh. Null (with the reason
/// printed) when a display is needed and none can be reached; Qt would abort instead.
std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv) {
    const QString command = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (!quillory::cli::commandNeedsGuiApplication(command)) {
        return std::make_unique<QCoreApplication>(argc, argv);
    }
    const auto server = quillory::platform::currentDisplayServer();
    QString why;
    if (server.waylandSession && quillory::input::waylandInputAvailable()) {
        // The clipboard and the keys go through the compositor's protocols on a connection of
        // their own: the application object needs no display.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return std::make_unique<QGuiApplication>(argc, argv);
    }
    if (server.type != quillory::platform::SessionType::x11) {
        why = server.type == quillory::platform::SessionType::wayland
                  ? QStringLiteral("a Wayland session without an X display (XWayland)")
                  : QStringLiteral("no display (DISPLAY is not set)");
    } else if (!quillory::input::X11Connection::open(&why)) {
        // the reason is set
    }
    if (!why.isEmpty()) {
        std::fprintf(stderr, "quillory %s needs an X11 display: %s\n", qPrintable(command), qPrintable(why));
        return nullptr;
    }
    // The clipboard and the synthesised keys must both be the X server's.
    qputenv("QT_QPA_PLATFORM", "xcb");
    return std::make_unique<QGuiApplication>(argc, argv);
}

} // namespace

int main(int argc, char** argv) {
    quillory::Localization::installAllStrings();
    // Servers' API keys live in the desktop's secret store (the session bus is reached at first use).
    quillory::SecretStore::install(std::make_shared<quillory::platform::SecretServiceStore>());
    if (qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN")) {
        // Name the channel of every log message ("app.quillory.quillory.commit: ...").
        qSetMessagePattern(QStringLiteral("%{if-category}%{category}: %{endif}%{message}"));
    }
    if (argc == 1) {
        return quillory::ui::runTrayApp(argc, argv); // no command: the tray app
    }
    std::unique_ptr<QCoreApplication> app = makeApplication(argc, argv);
    if (!app) {
        return quillory::cli::Failure;
    }
    QCoreApplication::setApplicationName(QStringLiteral("quillory"));
    QCoreApplication::setOrganizationName(QStringLiteral("quillory"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLORY_VERSION));

    QTextStream out(stdout);
    QTextStream err(stderr);
    out.setEncoding(QStringConverter::Utf8);
    err.setEncoding(QStringConverter::Utf8);
    quillory::cli::Io io{out, err};
    const int status = quillory::cli::run(QCoreApplication::arguments().mid(1), io);
    out.flush();
    err.flush();
    // Destroying a graphical application hands a clipboard we own to a clipboard manager.
    app.reset();
    return status;
}
