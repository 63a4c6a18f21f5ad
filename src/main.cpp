#include "Cli/Cli.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN")) {
        // Name the channel of every log message ("app.quillory.quillory.commit: ...").
        qSetMessagePattern(QStringLiteral("%{if-category}%{category}: %{endif}%{message}"));
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillory"));
    QCoreApplication::setOrganizationName(QStringLiteral("quillory"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLORY_VERSION));

    QTextStream out(stdout);
    QTextStream err(stderr);
    out.setEncoding(QStringConverter::Utf8);
    err.setEncoding(QStringConverter::Utf8);
    quillory::cli::Io io{out, err};
    const int status = quillory::cli::run(app.arguments().mid(1), io);
    out.flush();
    err.flush();
    return status;
}
