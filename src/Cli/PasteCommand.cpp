#include "Cli/Cli.h"

#include "Input/InputEngine.h"
#include "Input/TextInjector.h"
#include "Input/x11/LinuxInputPlatform.h"
#include "Input/x11/X11Connection.h"
#include "Input/x11/XTestKeyPoster.h"
#include "Runtime/Text.h"

#include <QClipboard>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QTimer>

#include <chrono>

namespace quillory::cli {

namespace {

void runEventLoopFor(std::chrono::milliseconds d) {
    QEventLoop loop;
    QTimer::singleShot(d, &loop, &QEventLoop::quit);
    loop.exec();
}

QString readStandardInput() {
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly)) {
        return {};
    }
    QString text = QString::fromUtf8(in.readAll());
    if (text.endsWith(QLatin1Char('\n'))) { // the line end `echo` and here-documents add
        text.chop(text.endsWith(QLatin1String("\r\n")) ? 2 : 1);
    }
    return text;
}

} // namespace

bool commandNeedsGuiApplication(const QString& name) {
    return name == QLatin1String("paste");
}

int pasteCommand(const QStringList& args, Io& io) {
    const Options options(args, {QStringLiteral("delay")}, {});
    if (!options.ok()) {
        return usageError(io, options.error());
    }
    if (options.positional().size() != 1) {
        return usageError(io, QStringLiteral("paste [--delay SECONDS] TEXT|-"));
    }
    bool delayOk = true;
    const double delay = options.value(QStringLiteral("delay"), QStringLiteral("0")).toDouble(&delayOk);
    if (!delayOk || delay < 0 || delay > 60) {
        return usageError(io, QStringLiteral("--delay takes 0 to 60 seconds"));
    }
    if (!qGuiApp) {
        return failure(io, QStringLiteral("paste needs an X11 display"));
    }
    const QString text =
        options.positional().first() == QLatin1String("-") ? readStandardInput() : options.positional().first();

    input::LinuxInputPlatform desktop = input::createLinuxInputPlatform();
    if (!desktop.unavailableReason.isEmpty()) {
        return failure(io, QStringLiteral("Cannot paste: %1").arg(desktop.unavailableReason));
    }
    if (delay > 0) {
        io.out << QStringLiteral("Pasting in %1 s: focus the target field now").arg(delay) << Qt::endl;
        runEventLoopFor(std::chrono::milliseconds(qint64(delay * 1000)));
    }

    InputEngine engine(desktop.platform);
    const std::optional<QString> before = engine.captureBaselineForLiveDictation();
    try {
        engine.insert(text);
    } catch (const InputError& e) {
        return failure(io, QStringLiteral("Not inserted: %1").arg(e.errorDescription()));
    }
    if (text.isEmpty()) {
        io.out << "Nothing to paste" << Qt::endl;
        return Ok;
    }
    const auto* keys = dynamic_cast<const input::XTestKeyPoster*>(desktop.platform.keys.get());
    const bool terminal = keys && keys->lastPress().withShift;
    io.out << QStringLiteral("Inserted %1 characters with %2%3")
                  .arg(Text::graphemeCount(text))
                  .arg(terminal ? QStringLiteral("Ctrl+Shift+V (terminal)") : QStringLiteral("Ctrl+V"))
                  .arg(before ? QStringLiteral(" into a text field") : QString())
           << Qt::endl;

    // The clipboard is put back 0.6 s after the paste; this process serves it until then.
    const auto restoreWait = std::chrono::duration_cast<std::chrono::milliseconds>(CGEventTextInjector::kRestoreDelay);
    runEventLoopFor(restoreWait + std::chrono::milliseconds(150));
    if (QGuiApplication::clipboard()->ownsClipboard() && !desktop.connection->clipboardManagerRuns()) {
        io.err << "No clipboard manager runs: the restored clipboard empties when this command exits"
               << Qt::endl;
    }
    return Ok;
}

} // namespace quillory::cli
