#pragma once

// Shared set-up of the fuzz targets: Qt's messages silenced (a corrupt input logs a line per
// run), a private temporary folder for decoders that read files, and a check that aborts (so
// libFuzzer keeps the input) when a property of the decoder does not hold.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace quillory::fuzz {

inline void silenceQtMessages() {
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtFatalMsg) {
            std::fprintf(stderr, "qFatal: %s\n", qPrintable(message));
            std::abort();
        }
    });
}

/// A folder that lives as long as the fuzzing process; in memory (/dev/shm) when there is one, as
/// the settings store syncs every file it writes.
inline const QString& scratchDirectory() {
    static const QString base =
        QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    static QTemporaryDir dir(base + QStringLiteral("/quillory-fuzz-XXXXXX"));
    static const QString path = [] {
        if (!dir.isValid()) {
            std::fprintf(stderr, "cannot create a temporary folder\n");
            std::abort();
        }
        return dir.path();
    }();
    return path;
}

/// Writes `bytes` to `name` in the scratch folder and returns its path.
inline QString writeScratchFile(const QString& name, const QByteArray& bytes) {
    const QString path = scratchDirectory() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::abort();
    }
    return path;
}

inline QByteArray bytesOf(const std::uint8_t* data, std::size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

} // namespace quillory::fuzz

/// Aborts with a message when a decoder property fails (libFuzzer then saves the input).
#define QUILLORY_FUZZ_CHECK(condition)                                                                       \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);         \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (false)
