#include "support/CoreTest.h"

#include "Utilities/CommitDiagnostics.h"

#include <QDir>
#include <QFile>

namespace quillory::testing {

void CoreTest::SetUp() {
    ASSERT_TRUE(home_.isValid());
    qputenv("HOME", home_.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", path(QStringLiteral(".config")).toUtf8());
    qputenv("XDG_DATA_HOME", path(QStringLiteral(".local/share")).toUtf8());
    qputenv("XDG_CACHE_HOME", path(QStringLiteral(".cache")).toUtf8());
    store_ = std::make_unique<DefaultsStore>(path(QStringLiteral(".config/quillory/defaults.json")));
    DefaultsStore::setStandardForTesting(store_.get());
    CommitDiagnostics::setLogDirectoryForTesting(path(QStringLiteral(".local/share/quillory/Diagnostics")));
    scopedClock_ = std::make_unique<ScopedScheduler>(clock_);
}

void CoreTest::TearDown() {
    CommitDiagnostics::waitUntilWritten();
    scopedClock_.reset();
    DefaultsStore::setStandardForTesting(nullptr);
    store_.reset();
}

QString CoreTest::path(const QString& relative) const {
    return home_.filePath(relative);
}

QString CoreTest::diagnosticsText() const {
    CommitDiagnostics::waitUntilWritten();
    QFile f(CommitDiagnostics::currentLogURL());
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(f.readAll());
}

QStringList CoreTest::diagnosticsMessages() const {
    QStringList out;
    for (const QString& line : diagnosticsText().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        // "<timestamp> [<category>] <LEVEL> <message>": the level column is five wide.
        const qsizetype close = line.indexOf(QLatin1String("] "));
        out << (close >= 0 ? line.mid(close + 2 + 6) : line);
    }
    return out;
}

} // namespace quillory::testing
