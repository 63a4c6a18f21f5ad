#pragma once

#include <QString>

#include <vector>

namespace quillory {

/// The text of one dictation built from recognition results: settled segments in spoken order,
/// plus the latest partial transcript of the segment being spoken.
///
/// Trimming removes white space and line breaks at both ends; lengths are user-perceived
/// characters; comparisons are case-sensitive and treat canonically equivalent text as equal.
class DictationAccumulator {
public:
    std::vector<QString> finalizedSegments;
    QString currentHypothesis;

    /// The segments, then the hypothesis when it is not blank, one line feed between items.
    QString previewText() const;
    /// Merges a partial transcript; returns whether anything changed.
    bool updatePartial(const QString& incoming);
    /// Takes a partial that holds the whole text since the last closed segment, whatever it shares
    /// with the one before (a recogniser that rewrites its words); returns whether anything changed.
    bool replaceHypothesis(const QString& incoming);
    /// Closes a segment (extending or ignoring a repeat of the last); returns whether anything changed.
    bool appendSegment(const QString& segment);
    /// The finalized segments joined by line feeds.
    QString joinedSegments() const;

    static bool isSameHypothesisUpdate(const QString& previous, const QString& incoming);
    /// Leading user-perceived characters on which `a` and `b` agree.
    static int commonPrefixLength(const QString& a, const QString& b);

    bool isEmpty() const { return finalizedSegments.empty() && currentHypothesis.isEmpty(); }
    bool operator==(const DictationAccumulator&) const = default;
};

} // namespace quillory
