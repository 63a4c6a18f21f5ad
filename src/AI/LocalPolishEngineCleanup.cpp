// LocalPolishEngine: the clean-up of stray servers (pgrep, kill, and the check that a process runs
// our own runtime's executable, so the user's other llama-server processes are left alone).

#include "AI/LocalPolishEngine.h"
#include "AI/LocalPolishEngineInternal.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <unistd.h>

namespace quillory {

using polish_detail::strictUtf8;

QString LocalPolishEngine::runProcess(const QString& executable, const QStringList& arguments,
                                      bool allowsNonZeroExit) {
    QProcess process;
    process.start(executable, arguments);
    if (!process.waitForStarted(-1)) {
        throw LocalPolishError::cleanupFailed(process.errorString());
    }
    process.closeWriteChannel();
    process.waitForFinished(-1);
    const QString out = strictUtf8(process.readAllStandardOutput());
    const QString err = strictUtf8(process.readAllStandardError());
    const int status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (status == 0 || allowsNonZeroExit) {
        return out;
    }
    throw LocalPolishError::cleanupFailed(!err.isEmpty() ? err : QStringLiteral("exit %1").arg(status));
}

QList<qint32> LocalPolishEngine::llamaServerPIDs() {
    const QString out = runProcess(configuration_.pgrepPath,
                                   {QStringLiteral("-u"), QString::number(::getuid()), QStringLiteral("-x"),
                                    QStringLiteral("llama-server")},
                                   true);
    QList<qint32> pids;
    for (const QString& line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        bool ok = false;
        const qint32 pid = line.trimmed().toInt(&ok, 10);
        if (ok) {
            pids << pid;
        }
    }
    return pids;
}

QString LocalPolishEngine::executableOfProcess(qint32 pid) {
    const QByteArray link = "/proc/" + QByteArray::number(pid) + "/exe";
    char target[4096];
    const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
    if (n <= 0) {
        return {};
    }
    QString path = QFile::decodeName(QByteArray(target, n));
    // A runtime rebuilt or removed since the process started.
    if (path.endsWith(QLatin1String(" (deleted)"))) {
        path.chop(10);
    }
    return path;
}

bool LocalPolishEngine::isOwnServer(qint32 pid, const QString& runtimeFolder) const {
    const QString executable =
        configuration_.processExecutable ? configuration_.processExecutable(pid) : executableOfProcess(pid);
    return !executable.isEmpty() && QDir::cleanPath(executable).startsWith(runtimeFolder + QLatin1Char('/'));
}

QList<qint32> LocalPolishEngine::ownServerPIDs() {
    const QList<qint32> all = llamaServerPIDs();
    const auto runtime = locateRuntime();
    if (!runtime || all.isEmpty()) {
        return {}; // without our runtime no process can be ours
    }
    // The kernel names executables by their real path.
    const QString canonical = QFileInfo(runtime->folder).canonicalFilePath();
    const QString folder = canonical.isEmpty() ? runtime->folder : canonical;
    QList<qint32> own;
    for (qint32 pid : all) {
        if (isOwnServer(pid, folder)) {
            own << pid;
        }
    }
    return own;
}

int LocalPolishEngine::cleanupResidualServers() {
    stopServer();
    const QList<qint32> found = ownServerPIDs();
    if (found.isEmpty()) {
        return 0;
    }
    QStringList ids;
    for (qint32 pid : found) {
        ids << QString::number(pid);
    }
    runProcess(configuration_.killPath, ids, false);
    if (configuration_.blockingPause) {
        configuration_.blockingPause(kCleanupPause);
    } else {
        QThread::msleep(static_cast<unsigned long>(wholeMilliseconds(kCleanupPause)));
    }
    const QList<qint32> remaining = ownServerPIDs();
    if (!remaining.isEmpty()) {
        QStringList args{QStringLiteral("-9")};
        for (qint32 pid : remaining) {
            args << QString::number(pid);
        }
        runProcess(configuration_.killPath, args, false);
    }
    return static_cast<int>(found.size());
}

} // namespace quillory
