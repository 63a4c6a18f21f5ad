#pragma once

// Text helpers of the streaming recogniser: repetition loops, the initial prompt, where to cut
// speech without a pause, joining the decodes of overlapping audio, and the encoder context.

#include <QString>
#include <QStringList>

#include <functional>
#include <span>

namespace quillory {

/// Text clean-up of decoder output.
namespace RecognitionText {
/// Cuts a repetition loop: a run of the same piece (1 to 16 characters) repeated 4 times or more in
/// a row keeps one occurrence. Trims white space at both ends.
QString cutRepetitions(const QString& text);
/// Text is cut to `maxTokens` × this many characters before its tokens are counted, so counting
/// costs the same however long the dictation and the dictionary are (whisper.cpp's tokenizer is
/// about quadratic on Japanese). A Japanese character takes one token or more, English about a
/// quarter of one, so the cut text still fills the prompt.
inline constexpr int kPromptCharsPerToken = 4;
/// The initial prompt: the dictionary hints, then the end of the settled text, within `maxTokens`
/// as counted by `count`. Hints take at most half of the room when there is settled text; they are
/// kept from the first while they fit, then the newest settled text fills the rest.
QString buildPrompt(const QStringList& hints, const QString& settledText, int maxTokens,
                    const std::function<int(const QString&)>& count);

/// `buildPrompt` for one recognition and decoder, keeping what does not change between decodes:
/// the hints' part, and the prompt of the last settled text. One thread at a time.
class PromptBuilder {
public:
    PromptBuilder(QStringList hints, int maxTokens, std::function<int(const QString&)> count);
    QString prompt(const QString& settledText);

private:
    QString hintsPart_;
    int room_ = 0; // tokens left for the settled text
    QString hintsAlone_;
    std::function<int(const QString&)> count_;
    QString lastTail_;
    QString lastPrompt_;
};

/// Where to cut a stretch of speech that reached the longest segment: the position within
/// [from, to] of `samples` (a multiple of 10 ms from `from`, the latest on a tie) whose 10 ms
/// around it are the quietest.
qint64 quietestCut(std::span<const float> samples, qint64 from, qint64 to);
/// The part of `next` to append to `settled` when `next` was decoded from audio that overlaps the
/// end of what gave `settled`: the longest run of at least two characters that the end of
/// `settled` and the start of `next` share (within `window` characters of each) is kept once.
QString joinOverlap(const QString& settled, const QString& next, int window = 16);
/// `audio_ctx` for `samples` of audio: the frames it fills plus a margin, within [minimum, model].
int audioContextFor(qint64 samples, int modelAudioCtx);
} // namespace RecognitionText

} // namespace quillory
