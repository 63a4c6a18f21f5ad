// Session core costs: merging a partial into a long transcript, and the commit pipeline's own
// overhead from the final recognition result to the insertion call (polishing off).
// Prints the figures and their ratio to the targets.

#include "AI/PolishService.h"
#include "App/AppState.h"
#include "App/DictationAccumulator.h"
#include "Runtime/DefaultsStore.h"
#include "Strings/StringTables.h"
#include "Utilities/CommitDiagnostics.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

using namespace quillory;

namespace {

constexpr double kPartialTargetUs = 50.0;
constexpr double kPipelineTargetUs = 200.0;

/// A Japanese transcript of `n` characters built from a repeating sentence.
QString transcript(int n) {
    const QString sentence =
        QString::fromUtf16(u"今日は会議の資料を確認してから、午後に皆さんへ共有します。");
    QString out;
    while (out.size() < n) {
        out += sentence;
    }
    return out.left(n);
}

double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

/// 1,000 partials on a 2,000-character transcript; the median cost of one merge. `revising`:
/// the recogniser keeps rewriting the last words of one long utterance (the costly path: neither
/// a prefix nor contained); otherwise the partials grow by one character each.
double partialMedianUs(bool revising) {
    const QString full = transcript(2000);
    const QString tails = QString::fromUtf16(u"ですますでしたかなねよ");
    std::vector<double> costs;
    DictationAccumulator acc;
    acc.finalizedSegments.push_back(transcript(1000)); // earlier sentences of the session
    acc.updatePartial(full.left(1000));
    for (int i = 1; i <= 1000; ++i) {
        const QString partial =
            revising ? full.left(1990) + tails.mid(i % 10) + tails.left(i % 10) : full.left(1000 + i);
        const auto t0 = std::chrono::steady_clock::now();
        acc.updatePartial(partial);
        const auto t1 = std::chrono::steady_clock::now();
        costs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    return medianOf(costs);
}

void BM_UpdatePartial2000(benchmark::State& state) {
    const QString full = transcript(2000);
    DictationAccumulator acc;
    acc.updatePartial(full.left(1998));
    bool flip = false;
    for (auto _ : state) {
        acc.updatePartial(flip ? full.left(1999) : full);
        flip = !flip;
        benchmark::DoNotOptimize(acc.currentHypothesis);
    }
}
BENCHMARK(BM_UpdatePartial2000);

// ---- pipeline overhead ----

class NullSpeech final : public SpeechService {
public:
    Task<bool> start(QStringList, PartialHandler p, CompletionHandler c, VoiceActivityHandler,
                     ProgressHandler) override {
        onPartial = std::move(p);
        onComplete = std::move(c);
        co_return true;
    }
    void stop() override {}
    Task<> cleanupSession() override { co_return; }
    PartialHandler onPartial;
    CompletionHandler onComplete;
};

class TimedInsertion final : public TextInsertion {
public:
    std::optional<QString> captureBaselineForLiveDictation() override { return std::nullopt; }
    Task<> commitFinal(std::optional<QString>, QString, CancellationToken) override {
        insertedAt = std::chrono::steady_clock::now();
        co_return;
    }
    std::chrono::steady_clock::time_point insertedAt;
};


class NoPolish final : public PolishService {
public:
    Task<QString> polish(QString text, SpeechLocale, PolishModel, QString, CancellationToken) override {
        co_return text;
    }
    void stopServer() override {}
    void warmUp() override {}
};

/// Median time from the delivery of the final result to the insertion call.
double pipelineMedianUs() {
    VirtualScheduler clock;
    ScopedScheduler scoped(clock);
    auto speech = std::make_shared<NullSpeech>();
    auto insertion = std::make_shared<TimedInsertion>();
    AppState state(AppStateServices{speech, insertion, std::make_shared<GrantedPermissions>(),
                                    std::make_shared<UnknownRuntimeEnvironmentStatus>(), std::make_shared<NoPolish>()});
    const QString text = transcript(200);
    std::vector<double> costs;
    for (int i = 0; i < 300; ++i) {
        state.handleHotkeyPress();
        clock.runPending();
        speech->onPartial(text);
        clock.runPending();
        state.handleHotkeyRelease();
        speech->onComplete(SpeechResult::success(text)); // posts the completion task
        const auto t0 = std::chrono::steady_clock::now();
        clock.runPending();
        costs.push_back(std::chrono::duration<double, std::micro>(insertion->insertedAt - t0).count());
        if (i % 50 == 0) {
            CommitDiagnostics::waitUntilWritten();
        }
    }
    CommitDiagnostics::waitUntilWritten();
    return medianOf(costs);
}

void BM_PipelineFinalToInsert(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        const double us = pipelineMedianUs();
        state.ResumeTiming();
        state.counters["median_us"] = us;
    }
}
BENCHMARK(BM_PipelineFinalToInsert)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    quillory::Localization::installAllStrings();
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.*=false"));
    QTemporaryDir home;
    DefaultsStore store(home.filePath("defaults.json"));
    DefaultsStore::setStandardForTesting(&store);
    CommitDiagnostics::setLogDirectoryForTesting(home.filePath("Diagnostics"));

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();

    const double growing = partialMedianUs(false);
    const double revising = partialMedianUs(true);
    const double pipeline = pipelineMedianUs();
    std::printf("\nupdatePartial on a 2,000-character transcript, median of 1,000 growing partials: %.2f us "
                "(target <= %.0f us, ratio %.3f)\n",
                growing, kPartialTargetUs, growing / kPartialTargetUs);
    std::printf("updatePartial on a 2,000-character transcript, median of 1,000 revising partials: %.2f us "
                "(target <= %.0f us, ratio %.3f)\n",
                revising, kPartialTargetUs, revising / kPartialTargetUs);
    std::printf("final result -> insertion call, polishing off, median of 300 commits: %.2f us "
                "(target <= %.0f us, ratio %.3f)\n",
                pipeline, kPipelineTargetUs, pipeline / kPipelineTargetUs);
    DefaultsStore::setStandardForTesting(nullptr);
    return 0;
}
