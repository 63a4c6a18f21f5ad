// Paste latency into real programs from Debian: from the synthesised paste key to the text in the
// target (GTK 3, GTK 4 and Tk fields, Firefox, xterm, rxvt-unicode, xfce4-terminal), one row
// each against the 50 ms target. A target that never shows the text gets a row saying so.
#include "RealTargetsBench.h"

#include "support/BenchFigures.h"
#include "RealTargets.h"

#include "Input/InputEngine.h"

#include <QDir>
#include <QTest>

#include <cstdio>
#include <vector>

namespace quillory::bench {

void benchRealTargets(InputEngine& engine, const std::function<qint64()>& lastKeyDownNs, int rounds) {
    std::printf("Paste into real programs, paste key -> text in the target (target <= 50 ms):\n");
    std::fflush(stdout);
    const QString workDir = QDir::homePath() + QStringLiteral("/bench-real-targets");
    QDir().mkpath(workDir);
    for (const QString& id : test::realTargetIds()) {
        if (id == QLatin1String("gtk3-password") || id == QLatin1String("qt")) {
            continue; // the same field as gtk3; the Qt line edit has its rows above
        }
        const QByteArray row = "paste key -> text: " + id.toUtf8();
        const auto target = test::makeRealTarget(id, workDir);
        if (!target->start()) {
            std::printf("%-44s not measured: %s\n", row.constData(), target->why().c_str());
            continue;
        }
        std::vector<double> ms;
        for (int i = 0; i < rounds; ++i) {
            const QString text = QStringLiteral("bench %1 テキスト").arg(i);
            if (!target->hasFocus() && !target->focus()) {
                std::printf("%-44s round %d: the target lost the focus\n", row.constData(), i);
                break;
            }
            target->mark();
            engine.insert(text);
            if (!target->waitFor([&] { return target->textSinceMark() == text; }, 3000)) {
                std::printf("%-44s round %d: the text did not arrive: %s\n", row.constData(), i,
                            target->transcript().substr(0, 300).c_str());
                break;
            }
            ms.push_back(double(target->textNs() - lastKeyDownNs()) / 1e6);
            QTest::qWait(650); // the clipboard restore, as between two dictations
        }
        report(row.constData(), ms, 50);
        target->stop();
    }
}

} // namespace quillory::bench
