#include "App/UndeliveredWords.h"

#include "Runtime/FileIO.h"
#include "Runtime/Paths.h"

namespace quillory::UndeliveredWords {

QString filePath() {
    return Paths::dataDirectory() + QStringLiteral("/Undelivered.txt");
}

QString keep(const QString& text, const QDateTime& when, QString* error) {
    const auto fail = [error](const QString& why) {
        if (error) {
            *error = why;
        }
        return QString();
    };
    if (const Expected<> made = FileIO::makePrivateDirectories(Paths::dataDirectory()); !made) {
        return fail(made.error());
    }
    const QString path = filePath();
    const QByteArray entry = QStringLiteral("[%1]\n%2\n\n")
                                 .arg(when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), text)
                                 .toUtf8();
    if (const Expected<> appended = FileIO::appendPrivate(path, entry); !appended) {
        return fail(appended.error());
    }
    return path;
}

} // namespace quillory::UndeliveredWords
