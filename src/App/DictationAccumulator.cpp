#include "App/DictationAccumulator.h"

#include "Runtime/Text.h"

#include <QTextBoundaryFinder>

#include <algorithm>

namespace quillory {

namespace {

/// Code units that are their own canonical form and never combine with a neighbour: Latin
/// below the combining marks, and the common Japanese blocks (CJK punctuation, kana without the
/// combining voicing marks, unified ideographs, full-width forms).
bool isCanonicallyStable(char16_t c) {
    return c < 0x0300 || (c >= 0x3000 && c <= 0x3098) || (c >= 0x309B && c <= 0x30FF) ||
           (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xFF01 && c <= 0xFF5E);
}

/// The canonical (NFC) form; text made only of stable code units is returned as it is.
QString nfc(const QString& s) {
    for (QChar c : s) {
        if (!isCanonicallyStable(c.unicode())) {
            return Text::canonicalKey(s);
        }
    }
    return s;
}

/// Code units that may join their neighbours into one user-perceived character.
bool mayJoin(char16_t c) {
    if (c != u'\r' && isCanonicallyStable(c)) {
        return false;
    }
    return c == u'\r' || QChar::isSurrogate(c) || (c >= 0x200C && c <= 0x200D) ||
           (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0x1100 && c <= 0x11FF) || (c >= 0xA960 && c <= 0xA97F) ||
           (c >= 0xAC00 && c <= 0xD7FF) || (c >= 0x0600 && c <= 0x0605) || c == 0x06DD || c == 0x070F ||
           c == 0x0D4E || c == 0xFF9E || c == 0xFF9F || QChar::isMark(c);
}

/// Whether the first `limit` code units hold one that may join a neighbour.
bool hasJoiningCodeUnits(const QString& s, qsizetype limit) {
    const qsizetype n = std::min(limit, s.size());
    for (qsizetype k = 0; k < n; ++k) {
        const char16_t c = s.at(k).unicode();
        if (mayJoin(c)) {
            return true;
        }
    }
    return false;
}

/// User-perceived characters; one per code unit for text without joining code units (most
/// Japanese dictation), else the full segmentation.
qsizetype characterCount(const QString& s) {
    return hasJoiningCodeUnits(s, s.size()) ? Text::graphemeCount(s) : s.size();
}

bool hasPrefix(const QString& s, const QString& prefix) {
    return nfc(s).startsWith(nfc(prefix));
}

/// The grapheme clusters' end offsets of `s`.
std::vector<qsizetype> clusterEnds(const QString& s) {
    std::vector<qsizetype> ends;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s);
    qsizetype at;
    while ((at = finder.toNextBoundary()) != -1) {
        ends.push_back(at);
    }
    return ends;
}

} // namespace

QString DictationAccumulator::previewText() const {
    QString out;
    bool first = true;
    auto add = [&](const QString& item) {
        if (!first) {
            out += QLatin1Char('\n');
        }
        out += item;
        first = false;
    };
    for (const QString& segment : finalizedSegments) {
        add(segment);
    }
    if (!Text::isBlank(currentHypothesis)) {
        add(currentHypothesis);
    }
    return out;
}

QString DictationAccumulator::joinedSegments() const {
    QString out;
    for (std::size_t i = 0; i < finalizedSegments.size(); ++i) {
        if (i > 0) {
            out += QLatin1Char('\n');
        }
        out += finalizedSegments[i];
    }
    return out;
}

int DictationAccumulator::commonPrefixLength(const QString& a, const QString& b) {
    if (a.isEmpty()) {
        return 0;
    }
    const QString na = nfc(a);
    const QString nb = nfc(b);
    // Code units in common first, then count the whole clusters inside that run.
    qsizetype common = 0;
    const qsizetype limit = std::min(na.size(), nb.size());
    while (common < limit && na.at(common) == nb.at(common)) {
        ++common;
    }
    if (common == 0) {
        return 0;
    }
    if (!hasJoiningCodeUnits(na, common + 1) && !hasJoiningCodeUnits(nb, common + 1)) {
        return int(common); // one character per code unit up to the first difference
    }
    const auto endsA = clusterEnds(na.left(std::min(na.size(), common + 8)));
    const auto endsB = clusterEnds(nb.left(std::min(nb.size(), common + 8)));
    int count = 0;
    std::size_t j = 0;
    for (qsizetype end : endsA) {
        if (end > common) {
            break;
        }
        while (j < endsB.size() && endsB[j] < end) {
            ++j;
        }
        if (j == endsB.size() || endsB[j] != end) {
            break; // the cluster continues differently in b
        }
        ++count;
    }
    return count;
}

bool DictationAccumulator::isSameHypothesisUpdate(const QString& previous, const QString& incoming) {
    const QString p = nfc(previous);
    const QString i = nfc(incoming);
    if (p == i || p.startsWith(i) || i.startsWith(p)) {
        return true;
    }
    if (p.contains(i) || i.contains(p)) {
        return true;
    }
    const qsizetype m = std::min(characterCount(p), characterCount(i));
    if (m < 1) {
        return false;
    }
    const qsizetype threshold = m <= 5 ? 3 : std::min<qsizetype>(m / 2, 8);
    return commonPrefixLength(p, i) >= threshold;
}

bool DictationAccumulator::appendSegment(const QString& segment) {
    const QString s = Text::trimmed(segment);
    if (s.isEmpty()) {
        return false;
    }
    if (!finalizedSegments.empty()) {
        const QString last = Text::trimmed(finalizedSegments.back());
        if (Text::canonicallyEqual(last, s) || hasPrefix(last, s)) {
            return false;
        }
        if (hasPrefix(s, last)) {
            finalizedSegments.back() = segment;
            return true;
        }
    }
    finalizedSegments.push_back(segment);
    return true;
}

bool DictationAccumulator::replaceHypothesis(const QString& incoming) {
    if (Text::isBlank(incoming) || currentHypothesis == incoming) {
        return false;
    }
    currentHypothesis = incoming;
    return true;
}

bool DictationAccumulator::updatePartial(const QString& incoming) {
    const QString in = Text::trimmed(incoming);
    if (in.isEmpty()) {
        return false;
    }
    const QString current = Text::trimmed(currentHypothesis);
    if (current.isEmpty()) {
        const bool changed = currentHypothesis != incoming;
        currentHypothesis = incoming;
        return changed;
    }
    if (isSameHypothesisUpdate(current, in)) {
        // A shorter partial that the current one already covers is ignored.
        if (characterCount(in) < characterCount(current) && nfc(current).contains(nfc(in))) {
            return false;
        }
        const bool changed = currentHypothesis != incoming;
        currentHypothesis = incoming;
        return changed;
    }
    // A new utterance: the previous hypothesis is settled.
    appendSegment(currentHypothesis);
    currentHypothesis = incoming;
    return true;
}

} // namespace quillory
