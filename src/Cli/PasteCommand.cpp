#include "Cli/Cli.h"

#include "Input/InputEngine.h"
#include "Input/TextInjector.h"
#include "Input/gnome/MutterRemoteDesktop.h"
#include "Input/portal/RemoteDesktopKeyPoster.h"
#include "Input/wayland/DataControlClipboard.h"
#include "Input/wayland/VirtualKeyboardPoster.h"
#include "Input/wayland/WaylandConnection.h"
#include "Input/x11/LinuxInputPlatform.h"
#include "Input/x11/QtClipboard.h"
#include "Input/x11/X11Connection.h"
#include "Input/x11/XTestKeyPoster.h"
#include "Runtime/Text.h"

#include <QClipboard>
#include <QDataStream>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QMimeData>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
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

/// Runs the event loop until `done` holds or `limit` has passed; returns `done()`.
template <typename Done>
bool runEventLoopUntil(Done done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) {
        runEventLoopFor(std::chrono::milliseconds(20));
    }
    return done();
}

constexpr quint32 kKeeperFormat = 1;
/// The modes of kept selections that are the Wayland clipboard and primary selection (served over
/// wlr-data-control).
constexpr int kWaylandClipboardMode = 100;
constexpr int kWaylandPrimaryMode = 101;
/// The clipboard served through GNOME's remote desktop session.
constexpr int kGnomeClipboardMode = 102;

/// What this process serves on one selection, as the keeper reads it.
struct KeptSelection {
    int mode = 0; // QClipboard::Mode
    QList<QPair<QString, QByteArray>> formats;
};

QDataStream& operator<<(QDataStream& s, const KeptSelection& k) {
    return s << qint32(k.mode) << k.formats;
}
QDataStream& operator>>(QDataStream& s, KeptSelection& k) {
    qint32 mode = 0;
    s >> mode >> k.formats;
    k.mode = mode;
    return s;
}

/// Hands the selections this process still owns to a background `quillory` that serves them until
/// another application takes them over (`stillOwned` turns false once it has). Returns the
/// keeper's process id, or 0 (with the reason).
qint64 startClipboardKeeper(const std::vector<std::pair<int, Clipboard*>>& owned, const std::function<bool()>& stillOwned,
                            QString* why) {
    QList<KeptSelection> kept;
    for (const auto& [mode, board] : owned) {
        KeptSelection selection{int(mode), {}};
        if (const auto items = board->items()) {
            for (const auto& item : *items) {
                for (const QString& type : item->types()) {
                    if (const auto bytes = item->data(type)) {
                        selection.formats.append({type, *bytes});
                    }
                }
            }
        }
        if (!selection.formats.isEmpty()) {
            kept.append(selection);
        }
    }
    if (kept.isEmpty()) {
        return -1; // nothing to keep: an empty clipboard stays empty
    }
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) {
        folder = QDir::tempPath();
    }
    QTemporaryFile file(folder + QStringLiteral("/quillory-clipboard-XXXXXX")); // owner-only
    file.setAutoRemove(false);
    if (!file.open()) {
        *why = file.errorString();
        return 0;
    }
    QDataStream out(&file);
    out << kKeeperFormat << kept;
    file.close();

    QProcess keeper;
    keeper.setProgram(QCoreApplication::applicationFilePath());
    keeper.setArguments({QString::fromLatin1(kServeClipboardCommand), file.fileName()});
    keeper.setStandardInputFile(QProcess::nullDevice());
    keeper.setStandardOutputFile(QProcess::nullDevice());
    keeper.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!keeper.startDetached(&pid)) {
        QFile::remove(file.fileName());
        *why = QStringLiteral("the background process did not start");
        return 0;
    }
    // It has taken over once this process no longer owns what it handed on.
    const bool tookOver = runEventLoopUntil([&] { return !stillOwned(); }, std::chrono::seconds(10));
    if (!tookOver) {
        QFile::remove(file.fileName());
        *why = QStringLiteral("the background process did not take the clipboard over");
        return 0;
    }
    return pid;
}

/// Serves the Wayland selections over wlr-data-control until other clients take them.
int serveWaylandSelections(const QList<KeptSelection>& kept, Io& io) {
    QString why;
    const auto connection = input::WaylandConnection::open(&why);
    if (!connection) {
        return failure(io, why);
    }
    std::vector<std::unique_ptr<input::DataControlClipboard>> serving;
    for (const KeptSelection& selection : kept) {
        auto board = std::make_unique<input::DataControlClipboard>(
            connection, selection.mode == kWaylandPrimaryMode ? input::DataControlClipboard::Selection::primary
                                                              : input::DataControlClipboard::Selection::clipboard);
        ClipboardItem item;
        for (const auto& [type, bytes] : selection.formats) {
            item.entries.emplace_back(type, bytes);
        }
        if (board->writeItems({item})) {
            serving.push_back(std::move(board));
        }
    }
    if (serving.empty()) {
        return failure(io, QStringLiteral("the clipboard could not be written"));
    }
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        const bool owned = std::any_of(serving.begin(), serving.end(), [](const auto& b) { return b->ownsSelection(); });
        if (!owned || !connection->isAlive()) {
            loop.quit();
        }
    });
    check.start(200);
    loop.exec();
    return Ok;
}

/// Serves the clipboard through a remote desktop session of GNOME's until another owner takes it.
int serveGnomeClipboard(const KeptSelection& kept, Io& io) {
    input::MutterRemoteDesktop session(input::makeMutterSessionBus());
    ClipboardItem item;
    for (const auto& [type, bytes] : kept.formats) {
        item.entries.emplace_back(type, bytes);
    }
    if (!session.ensureOpen() || !session.writeItems({item})) {
        return failure(io, session.lastError());
    }
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (!session.ownsSelection() || !session.isOpen()) {
            loop.quit();
        }
    });
    check.start(200);
    loop.exec();
    return Ok;
}

} // namespace

bool commandNeedsGuiApplication(const QString& name) {
    return name == QLatin1String("paste") || name == QLatin1String(kServeClipboardCommand);
}

int serveClipboardCommand(const QStringList& args, Io& io) {
    if (args.size() != 1 || !qGuiApp) {
        return usageError(io, QStringLiteral("%1 FILE").arg(QLatin1String(kServeClipboardCommand)));
    }
    QFile file(args.first());
    if (!file.open(QIODevice::ReadOnly)) {
        return failure(io, file.errorString());
    }
    QDataStream in(&file);
    quint32 format = 0;
    QList<KeptSelection> kept;
    in >> format >> kept;
    file.close();
    QFile::remove(args.first());
    if (format != kKeeperFormat || in.status() != QDataStream::Ok) {
        return failure(io, QStringLiteral("unreadable clipboard contents"));
    }
    if (std::all_of(kept.begin(), kept.end(), [](const KeptSelection& k) {
            return k.mode == kWaylandClipboardMode || k.mode == kWaylandPrimaryMode;
        })) {
        return serveWaylandSelections(kept, io);
    }
    if (kept.size() == 1 && kept.first().mode == kGnomeClipboardMode) {
        return serveGnomeClipboard(kept.first(), io);
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    const auto owns = [clipboard](int mode) {
        return mode == QClipboard::Selection ? clipboard->ownsSelection() : clipboard->ownsClipboard();
    };
    QList<int> serving;
    for (const KeptSelection& selection : kept) {
        auto* data = new QMimeData;
        for (const auto& [type, bytes] : selection.formats) {
            data->setData(type, bytes);
        }
        clipboard->setMimeData(data, QClipboard::Mode(selection.mode));
        if (owns(selection.mode)) {
            serving << selection.mode;
        }
    }
    // Serve until every selection has another owner (someone copied or selected).
    QEventLoop loop;
    const auto check = [&] {
        serving.removeIf([&](int mode) { return !owns(mode); });
        if (serving.isEmpty()) {
            loop.quit();
        }
    };
    QObject::connect(clipboard, &QClipboard::changed, &loop, check, Qt::QueuedConnection);
    QTimer::singleShot(0, &loop, check);
    loop.exec();
    return Ok;
}

int pasteCommand(const Command& self, const QStringList& args, Io& io) {
    const Options options(args, self);
    if (!options.ok()) {
        return usageError(io, options.error());
    }
    if (options.positional().size() != 1) {
        return usageError(io, self);
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
    if (auto* portal = dynamic_cast<input::RemoteDesktopKeyPoster*>(desktop.platform.keys.get())) {
        // The portal's session opens now (the desktop may ask the user first).
        runEventLoopUntil([&] { return portal->state() != input::RemoteDesktopKeyPoster::State::opening; },
                          std::chrono::seconds(120));
        if (portal->state() != input::RemoteDesktopKeyPoster::State::started) {
            return failure(io, QStringLiteral("Cannot paste: %1").arg(portal->lastError()));
        }
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
    input::PasteKey key = input::PasteKey::ctrlV;
    if (const auto* keys = dynamic_cast<const input::XTestKeyPoster*>(desktop.platform.keys.get())) {
        key = keys->lastPress().key;
    } else if (const auto* virtualKeys = dynamic_cast<const input::VirtualKeyboardPoster*>(desktop.platform.keys.get())) {
        key = virtualKeys->lastKey();
    }
    io.out << QStringLiteral("Inserted %1 characters with %2%3%4")
                  .arg(Text::graphemeCount(text))
                  .arg(input::pasteKeyName(key))
                  .arg(key != input::PasteKey::ctrlV ? QStringLiteral(" (terminal)") : QString())
                  .arg(before ? QStringLiteral(" into a text field") : QString())
           << Qt::endl;

    // The clipboard is put back once the target has read the text (or after a limit); this
    // process serves it until then.
    const auto restoreLimit = std::chrono::duration_cast<std::chrono::milliseconds>(
        ClipboardPasteInjector::kFetchWaitLimit + ClipboardPasteInjector::kRestoreDelay + std::chrono::seconds(1));
    runEventLoopUntil([&] { return !engine.clipboardRestorePending(); }, restoreLimit);
    // Other applications ask for the restored contents as soon as they see it change hands; answer
    // those requests now: Qt's hand-over to a clipboard manager on exit stalls when requests are
    // still queued.
    runEventLoopFor(std::chrono::milliseconds(200));

    // On GNOME what this process serves through mutter's session goes with it (mutter's own copy
    // may be of an earlier owner): a background process keeps serving it, as on wlroots.
    if (const auto* mutter = dynamic_cast<const input::MutterRemoteDesktop*>(desktop.platform.clipboard.get());
        mutter && mutter->ownsSelection()) {
        QString why;
        const qint64 keeper = startClipboardKeeper({{kGnomeClipboardMode, desktop.platform.clipboard.get()}},
                                                   [&] { return mutter->ownsSelection(); }, &why);
        if (keeper > 0) {
            io.err << QStringLiteral("Process %1 keeps the clipboard until another application copies").arg(keeper)
                   << Qt::endl;
        } else if (keeper == 0) {
            io.err << QStringLiteral("The clipboard could not be kept (%1): it may change when this command exits")
                          .arg(why)
                   << Qt::endl;
        }
        return Ok;
    }

    // What this process owns goes when it exits. On Wayland a background process keeps serving
    // the selections until other clients take them.
    if (desktop.wayland) {
        std::vector<std::pair<int, Clipboard*>> owned;
        for (const auto& [mode, clipboard] : {std::pair{kWaylandClipboardMode, desktop.platform.clipboard.get()},
                                              std::pair{kWaylandPrimaryMode, desktop.platform.primarySelection.get()}}) {
            const auto* board = dynamic_cast<const input::DataControlClipboard*>(clipboard);
            if (board && board->ownsSelection()) {
                owned.emplace_back(mode, clipboard);
            }
        }
        if (!owned.empty()) {
            QString why;
            const qint64 keeper = startClipboardKeeper(
                owned,
                [&] {
                    return std::any_of(owned.begin(), owned.end(), [](const auto& o) {
                        return static_cast<const input::DataControlClipboard*>(o.second)->ownsSelection();
                    });
                },
                &why);
            if (keeper > 0) {
                io.err << QStringLiteral("Process %1 keeps the clipboard until another application copies").arg(keeper)
                       << Qt::endl;
            } else if (keeper == 0) {
                io.err << QStringLiteral("The clipboard could not be kept (%1): it empties when this command exits")
                              .arg(why)
                       << Qt::endl;
            }
        }
        return Ok;
    }
    // A clipboard manager takes it over as the application quits; without one, a background
    // process keeps serving it.
    QClipboard* clipboard = QGuiApplication::clipboard();
    std::vector<std::pair<int, Clipboard*>> owned;
    if (clipboard->ownsClipboard()) {
        owned.emplace_back(QClipboard::Clipboard, desktop.platform.clipboard.get());
    }
    if (clipboard->ownsSelection() && desktop.platform.primarySelection) {
        owned.emplace_back(QClipboard::Selection, desktop.platform.primarySelection.get());
    }
    if (!owned.empty() && desktop.connection && !desktop.connection->clipboardManagerRuns()) {
        QString why;
        const qint64 keeper = startClipboardKeeper(
            owned,
            [&] {
                return std::any_of(owned.begin(), owned.end(), [&](const auto& o) {
                    return o.first == QClipboard::Selection ? clipboard->ownsSelection() : clipboard->ownsClipboard();
                });
            },
            &why);
        if (keeper > 0) {
            io.err << QStringLiteral("No clipboard manager runs: process %1 keeps the clipboard until another "
                                     "application copies")
                          .arg(keeper)
                   << Qt::endl;
        } else if (keeper == 0) {
            io.err << QStringLiteral("No clipboard manager runs and the clipboard could not be kept (%1): it "
                                     "empties when this command exits")
                          .arg(why)
                   << Qt::endl;
        }
    }
    return Ok;
}

} // namespace quillory::cli
