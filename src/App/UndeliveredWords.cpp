#include "App/UndeliveredWords.h"

#include "Runtime/FileIO.h"
#include "Runtime/Paths.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace quillory::UndeliveredWords {

QString filePath() {
    return Paths::dataDirectory() + QStringLiteral("/Undelivered.txt");
}

QString keep(const QString& text, const QDateTime& when, QString* error) {
    const auto fail = [error](QString why) {
        if (error) {
            *error = std::move(why);
        }
        return QString();
    };
    if (const QString made = FileIO::makePrivateDirectories(Paths::dataDirectory()); !made.isEmpty()) {
        return fail(made);
    }
    const QString path = filePath();
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return fail(FileIO::describe(QStringLiteral("Cannot open"), path, errno));
    }
    const QByteArray entry = QStringLiteral("[%1]\n%2\n\n")
                                 .arg(when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), text)
                                 .toUtf8();
    const int written = FileIO::writeAll(fd, entry.constData(), entry.size());
    const int closed = ::close(fd) == 0 ? 0 : errno;
    if (written != 0 || closed != 0) {
        return fail(FileIO::describe(QStringLiteral("Cannot write"), path, written != 0 ? written : closed));
    }
    return path;
}

} // namespace quillory::UndeliveredWords
