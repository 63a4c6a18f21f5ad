#pragma once
// The paste rounds every input benchmark runs: the paste key is timed on its way out, the text is
// awaited in the target window, and the clipboard restore is let run between rounds.

#include "InputTargetClient.h"
#include "support/BenchFigures.h"

#include "Input/InputEngine.h"
#include "Input/InputPlatform.h"

#include <QByteArray>
#include <QTest>

#include <cstdio>
#include <memory>
#include <vector>

namespace quillory::bench {

/// Notes when the paste key goes down.
class TimedKeys final : public KeyEventPoster {
public:
    explicit TimedKeys(std::shared_ptr<KeyEventPoster> inner) : inner_(std::move(inner)) {}
    bool createEventSource() override { return inner_->createEventSource(); }
    bool createEvent(const KeyEvent& e) override { return inner_->createEvent(e); }
    bool pasteReadsPrimarySelection() override { return inner_->pasteReadsPrimarySelection(); }
    void post(const KeyEvent& e) override {
        if (e.keyDown) {
            keyDownNs = test::monotonicNs();
        }
        inner_->post(e);
    }
    qint64 keyDownNs = 0;

private:
    std::shared_ptr<KeyEventPoster> inner_;
};

struct PasteFigures {
    std::vector<double> keyToText;    ///< ms from the paste key to the text in the target
    std::vector<double> insertToText; ///< ms from the start of insert() to the same point
};

/// `rounds` insertions into `target`; false (with a line on stderr) when a text did not arrive.
inline bool pasteRounds(InputEngine& engine, test::TargetWindow& target, const TimedKeys& keys, int rounds,
                        PasteFigures& figures) {
    for (int i = 0; i < rounds; ++i) {
        const QString text = QStringLiteral("bench %1 テキスト").arg(i);
        target.request("set", "set", QString());
        const qint64 start = test::monotonicNs();
        engine.insert(text);
        if (!target.waitForText(text, 3000)) {
            std::fprintf(stderr, "round %d: the text did not arrive\n", i);
            return false;
        }
        figures.keyToText.push_back(double(target.textNs() - keys.keyDownNs) / 1e6);
        figures.insertToText.push_back(double(target.textNs() - start) / 1e6);
        QTest::qWait(650); // the clipboard restore, as between two dictations
    }
    return true;
}

/// The paste key of `platform` timed, `rounds` insertions into `target` through an engine of its
/// own, then `heading` and the two rows named after `path`; false (with a line on stderr) when a
/// text did not arrive.
inline bool benchPaste(InputPlatform platform, test::TargetWindow& target, int rounds, const char* heading,
                       const char* path) {
    auto keys = std::make_shared<TimedKeys>(platform.keys);
    platform.keys = keys;
    InputEngine engine(platform);
    PasteFigures figures;
    if (!pasteRounds(engine, target, *keys, rounds, figures)) {
        return false;
    }
    std::printf("%s\n", heading);
    report(QByteArray(path).append(": paste key -> text in the line edit").constData(), figures.keyToText, 50);
    report(QByteArray(path).append(": insert() start -> text (snapshot incl.)").constData(), figures.insertToText, 0);
    return true;
}

} // namespace quillory::bench
