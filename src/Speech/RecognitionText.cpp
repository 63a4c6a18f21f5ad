// Text helpers of the streaming recogniser (pure functions and the per-worker prompt builder).

#include "Speech/RecognitionText.h"

#include "Speech/SpeechBackend.h"

#include <algorithm>
#include <vector>

namespace quillory {

namespace RecognitionText {

QString cutRepetitions(const QString& input) {
    QString text = input.trimmed();
    constexpr int kMaxUnit = 16;
    constexpr int kMinRepeats = 4;
    bool changed = true;
    while (changed) {
        changed = false;
        for (int unit = 1; unit <= kMaxUnit && !changed; ++unit) {
            for (qsizetype start = 0; start + unit * kMinRepeats <= text.size(); ++start) {
                const QStringView piece = QStringView(text).mid(start, unit);
                int repeats = 1;
                while (start + (repeats + 1) * unit <= text.size() &&
                       QStringView(text).mid(start + repeats * unit, unit) == piece) {
                    ++repeats;
                }
                if (repeats >= kMinRepeats) {
                    text.remove(start + unit, (repeats - 1) * unit);
                    changed = true;
                    break;
                }
            }
        }
    }
    return text.trimmed();
}

namespace {

/// `text` cut from its start to at most `maxTokens` as counted by `count`, measuring at most
/// `maxTokens` × kPromptCharsPerToken characters at a time.
QString fitTail(QStringView text, int maxTokens, const std::function<int(const QString&)>& count) {
    if (maxTokens <= 0) {
        return {};
    }
    QString tail = text.right(qsizetype(maxTokens) * kPromptCharsPerToken).toString();
    while (!tail.isEmpty()) {
        const int n = count(tail);
        if (n <= maxTokens) {
            break;
        }
        // Cut in proportion to the excess, and by an eighth at least.
        const qsizetype keep = std::min<qsizetype>(tail.size() - std::max<qsizetype>(1, tail.size() / 8),
                                                   tail.size() * maxTokens / std::max(n, 1));
        tail = tail.right(std::max<qsizetype>(keep, 0));
    }
    return tail;
}

/// The hints joined by "、" and ended by "。", from the first while they fit `budget`.
QString fitHints(const QStringList& hints, int budget, const std::function<int(const QString&)>& count) {
    if (hints.isEmpty() || budget <= 0) {
        return {};
    }
    const int separator = count(QStringLiteral("、"));
    QStringList kept;
    int used = 0;
    for (const QString& hint : hints) {
        if (hint.size() > qsizetype(budget) * kPromptCharsPerToken) {
            break; // far too long to fit: never counted
        }
        const int n = count(hint) + (kept.isEmpty() ? 0 : separator);
        if (used + n > budget) {
            break;
        }
        used += n;
        kept << hint;
    }
    // Tokens may merge across the separators: check the whole once, then drop from the end.
    QString part = kept.join(QStringLiteral("、"));
    while (!kept.isEmpty() && count(part) > budget) {
        kept.removeLast();
        part = kept.join(QStringLiteral("、"));
    }
    return part.isEmpty() ? part : part + QStringLiteral("。");
}

} // namespace

PromptBuilder::PromptBuilder(QStringList hints, int maxTokens, std::function<int(const QString&)> count)
    : count_(std::move(count)) {
    if (maxTokens <= 0) {
        return;
    }
    // Hints get at most half of the room when there is settled text to continue from.
    hintsAlone_ = fitHints(hints, maxTokens, count_);
    hintsPart_ = fitHints(hints, maxTokens / 2, count_);
    room_ = maxTokens - (hintsPart_.isEmpty() ? 0 : count_(hintsPart_));
}

QString PromptBuilder::prompt(const QString& settledText) {
    if (settledText.isEmpty()) {
        return hintsAlone_;
    }
    const QStringView candidate = QStringView(settledText).right(qsizetype(std::max(room_, 0)) * kPromptCharsPerToken);
    if (!lastTail_.isNull() && candidate == lastTail_) {
        return lastPrompt_;
    }
    lastTail_ = candidate.toString();
    lastPrompt_ = hintsPart_ + fitTail(candidate, room_, count_);
    return lastPrompt_;
}

QString buildPrompt(const QStringList& hints, const QString& settledText, int maxTokens,
                    const std::function<int(const QString&)>& count) {
    return PromptBuilder(hints, maxTokens, count).prompt(settledText);
}

qint64 quietestCut(std::span<const float> samples, qint64 from, qint64 to) {
    constexpr qint64 kStep = kRecognitionSampleRate / 100; // 10 ms
    const auto size = static_cast<qint64>(samples.size());
    to = std::clamp<qint64>(to, 0, size);
    from = std::clamp<qint64>(from, 0, to);
    qint64 best = to;
    double quietest = -1;
    for (qint64 at = to; at >= from; at -= kStep) {
        const qint64 a = std::max<qint64>(0, at - kStep / 2);
        const qint64 b = std::min(size, at + kStep / 2);
        double energy = 0;
        for (qint64 i = a; i < b; ++i) {
            energy += double(samples[size_t(i)]) * double(samples[size_t(i)]);
        }
        energy = b > a ? energy / double(b - a) : 0.0;
        if (quietest < 0 || energy < quietest) {
            quietest = energy;
            best = at;
        }
    }
    return best;
}

QString joinOverlap(const QString& settled, const QString& next, int window) {
    const QStringView a = QStringView(settled).right(window);
    const QStringView b = QStringView(next).left(window);
    // Longest common run; of equally long ones, the one ending latest in `a`.
    int bestLength = 0;
    qsizetype bestEndInA = 0;
    qsizetype bestEndInB = 0;
    std::vector<int> previous(size_t(b.size()) + 1, 0), current(size_t(b.size()) + 1, 0);
    for (qsizetype i = 1; i <= a.size(); ++i) {
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const int length = a[i - 1] == b[j - 1] ? previous[size_t(j - 1)] + 1 : 0;
            current[size_t(j)] = length;
            if (length > bestLength || (length == bestLength && length > 0 && i > bestEndInA)) {
                bestLength = length;
                bestEndInA = i;
                bestEndInB = j;
            }
        }
        std::swap(previous, current);
    }
    if (bestLength < 2) {
        return next;
    }
    return next.mid(bestEndInB);
}

int audioContextFor(qint64 samples, int modelAudioCtx) {
    constexpr int kSamplesPerFrame = kRecognitionSampleRate / 50;
    constexpr int kMarginFrames = 32;
    constexpr int kMinimumFrames = 150; // 3 s: shorter contexts cost little more and decode worse
    const qint64 frames = (samples + kSamplesPerFrame - 1) / kSamplesPerFrame + kMarginFrames;
    return static_cast<int>(std::clamp<qint64>(frames, std::min(kMinimumFrames, modelAudioCtx), modelAudioCtx));
}

} // namespace RecognitionText

} // namespace quillory
