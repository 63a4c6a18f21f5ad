#include "Runtime/Text.h"

#include <QTextBoundaryFinder>

namespace quillory::Text {

namespace {
bool isTrimmable(QChar c) {
    // QChar::isSpace covers the Unicode separators, tab, line feed, vertical tab, form feed,
    // carriage return, U+0085 and U+00A0.
    return c.isSpace();
}
} // namespace

QString trimmed(const QString& s) {
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && isTrimmable(s.at(begin))) {
        ++begin;
    }
    while (end > begin && isTrimmable(s.at(end - 1))) {
        --end;
    }
    if (begin == 0 && end == s.size()) {
        return s;
    }
    return s.mid(begin, end - begin);
}

bool isBlank(const QString& s) {
    for (QChar c : s) {
        if (!isTrimmable(c)) {
            return false;
        }
    }
    return true;
}

qsizetype graphemeCount(const QString& s) {
    if (s.isEmpty()) {
        return 0;
    }
    // Fast path: ASCII without CR (CR LF is one cluster) counts one per code unit.
    bool simple = true;
    for (QChar c : s) {
        if (c.unicode() >= 0x80 || c.unicode() == '\r') {
            simple = false;
            break;
        }
    }
    if (simple) {
        return s.size();
    }
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1) {
        ++count;
    }
    return count;
}

QString canonicalKey(const QString& s) {
    return s.normalized(QString::NormalizationForm_C);
}

bool canonicallyEqual(const QString& a, const QString& b) {
    return a == b || canonicalKey(a) == canonicalKey(b);
}

QStringList nonEmptyLines(const QString& s) {
    QStringList out;
    for (const QString& line : s.split(QLatin1Char('\n'))) {
        QString l = line;
        if (l.endsWith(QLatin1Char('\r'))) {
            l.chop(1);
        }
        if (!l.isEmpty()) {
            out.append(l);
        }
    }
    return out;
}

} // namespace quillory::Text
