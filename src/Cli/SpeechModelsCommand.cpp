// `quillory speech-models`: the speech model catalogue (list, download, delete, path, select).

#include "Cli/Cli.h"

#include "AI/PolishModel.h"
#include "Speech/SpeechModel.h"

#include <QCoreApplication>

namespace quillory::cli {

int speechModelsCommand(const Command& self, const QStringList& args, Io& io) {
    const Options opts(args, self);
    if (!opts.ok()) {
        return usageError(io, opts.error());
    }
    const QStringList& p = opts.positional();
    if (p == QStringList{QStringLiteral("list")}) {
        const SpeechModel selected = SpeechModels::selectedModel();
        for (SpeechModel m : SpeechModels::allCases) {
            io.out << (m == selected ? "* " : "  ") << SpeechModels::id(m) << '\t' << SpeechModels::displayName(m)
                   << '\t' << ByteCount::fileStyle(SpeechModels::downloadSizeBytes(m)) << '\t'
                   << (SpeechModels::isDownloaded(m) ? "downloaded" : "not downloaded") << '\n';
        }
        const auto partial = SpeechModels::partialModelFor(selected);
        io.out << "live text by: "
               << (!partial ? QStringLiteral("the selected model")
                            : SpeechModels::id(*partial) +
                                  (SpeechModels::isDownloaded(*partial) ? QString()
                                                                        : QStringLiteral(" (not downloaded: the "
                                                                                         "selected model until it is)")))
               << " (setting " << SpeechModels::partialModelKey << ")\n";
        return Ok;
    }
    if (p.size() != 2 || !QStringList{"download", "delete", "path", "select"}.contains(p.first())) {
        return usageError(io, self);
    }
    const auto model = SpeechModels::fromId(p.at(1));
    if (!model) {
        return failure(io, QStringLiteral("Unknown speech model '%1' (see: quillory speech-models list)").arg(p.at(1)));
    }
    const QString verb = p.first();
    try {
        if (verb == QLatin1String("path")) {
            io.out << SpeechModels::modelPath(*model) << Qt::endl;
        } else if (verb == QLatin1String("select")) {
            SpeechModels::setSelectedModel(*model);
            io.out << SpeechModels::id(*model) << Qt::endl;
        } else if (verb == QLatin1String("delete")) {
            SpeechModelDownloader::remove(*model);
            io.out << "Deleted " << SpeechModels::modelPath(*model) << Qt::endl;
        } else {
            SpeechModelDownloader downloader;
            QString shown;
            int lastPercent = -1;
            const auto progress = [&](const QString& file, qint64 received, qint64 total) {
                const int percent = total > 0 ? static_cast<int>(received * 100 / total) : -1;
                if (file != shown || percent != lastPercent) {
                    if (file != shown && !shown.isEmpty()) {
                        io.err << Qt::endl;
                    }
                    shown = file;
                    lastPercent = percent;
                    io.err << '\r' << file << ' '
                           << (percent >= 0 ? QStringLiteral("%1 %").arg(percent) : ByteCount::fileStyle(received));
                    io.err.flush();
                }
            };
            const bool ok = runUntilDone(
                [&]() -> Task<bool> {
                    co_await downloader.download(*model, {}, progress);
                    co_return true;
                }(),
                [] { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); });
            if (!shown.isEmpty()) {
                io.err << Qt::endl;
            }
            io.out << SpeechModels::modelPath(*model) << Qt::endl;
            return ok ? Ok : Failure;
        }
    } catch (const SpeechModelError& e) {
        io.err << Qt::endl;
        return failure(io, QStringLiteral("The speech model could not be downloaded: %1").arg(e.message()));
    } catch (const std::exception& e) {
        return failure(io, QString::fromLocal8Bit(e.what()));
    }
    return Ok;
}

} // namespace quillory::cli
