#include "support/CoreTest.h"

#include "UI/Settings/ModelDownloadController.h"

#include <QSignalSpy>

#include <memory>
#include <stdexcept>

namespace quillory::testing {
namespace {

using Progress = ModelDownloadController::Progress;

class ModelDownloadControllerTest : public CoreTest {
protected:
    /// A download of 1000 bytes over 2 s that reports at the start and half way, then fails
    /// with `failure` when it is set. Keeps its progress callback in `lateProgress`.
    ModelDownloadController::Fetch fetch() {
        return [this](Progress progress) -> Task<> {
            lateProgress = progress;
            progress(0, -1);
            co_await sleepFor(1s);
            progress(500, 1000);
            co_await sleepFor(1s);
            if (failure) {
                throw std::runtime_error(failure->toStdString());
            }
        };
    }

    std::optional<QString> failure;
    Progress lateProgress;
};

TEST_F(ModelDownloadControllerTest, ProgressEndsBeforeTheOwnerRefreshesAndAFailureOutlivesThatRefresh) {
    ModelDownloadController files;
    QSignalSpy changed(&files, &ModelDownloadController::changed);
    int finishedCalls = 0;
    bool sawProgressEnded = false;
    failure = QStringLiteral("disk full");
    ASSERT_TRUE(files.download(fetch(), [&](std::exception_ptr error) {
        ++finishedCalls;
        sawProgressEnded = !files.inProgress() && error;
        files.clearErrors(); // what the tabs' refresh does
    }));
    EXPECT_TRUE(files.inProgress());
    EXPECT_FALSE(files.canChangeFiles());
    EXPECT_FALSE(files.download(fetch(), {})) << "one download at a time";
    EXPECT_EQ(files.total(), -1);

    clock_.advance(1s);
    EXPECT_EQ(files.received(), 500);
    EXPECT_EQ(files.total(), 1000);
    clock_.advance(1s);
    EXPECT_EQ(finishedCalls, 1);
    EXPECT_TRUE(sawProgressEnded);
    EXPECT_EQ(files.downloadError(), QStringLiteral("disk full")) << "recorded after the refresh";
    EXPECT_TRUE(files.canChangeFiles());

    const auto emitted = changed.count();
    lateProgress(900, 1000);
    EXPECT_EQ(files.received(), 500) << "a report after the end is ignored";
    EXPECT_EQ(changed.count(), emitted);

    failure.reset();
    ASSERT_TRUE(files.download(fetch(), {}));
    EXPECT_FALSE(files.downloadError().has_value()) << "a new download clears the old message";
    clock_.advance(2s);
    EXPECT_FALSE(files.inProgress());
    EXPECT_FALSE(files.downloadError().has_value());
}

TEST_F(ModelDownloadControllerTest, OnlyRecordingAndProcessingBlockAndOnlyRealChangesAreAnnounced) {
    ModelDownloadController files;
    QSignalSpy changed(&files, &ModelDownloadController::changed);
    files.setStatus(AppStatus::idle());
    EXPECT_EQ(changed.count(), 0);
    for (const AppStatus& busy : {AppStatus::recording(), AppStatus::processing()}) {
        files.setStatus(busy);
        EXPECT_FALSE(files.canChangeFiles()) << busy.caseName().toStdString();
        EXPECT_FALSE(files.download(fetch(), {}));
    }
    EXPECT_EQ(changed.count(), 2);
    files.setStatus(AppStatus::error(QStringLiteral("マイクが見つかりません")));
    EXPECT_TRUE(files.canChangeFiles()) << "an error status does not block";
}

TEST_F(ModelDownloadControllerTest, RemoveRecordsItsFailureAndLeavesSuccessToTheOwner) {
    ModelDownloadController files;
    QSignalSpy changed(&files, &ModelDownloadController::changed);
    EXPECT_FALSE(files.remove([] { throw std::runtime_error("read-only file system"); }));
    EXPECT_EQ(files.deleteError(), QStringLiteral("read-only file system"));
    EXPECT_EQ(changed.count(), 1);

    bool removed = false;
    EXPECT_TRUE(files.remove([&] { removed = true; }));
    EXPECT_TRUE(removed);
    EXPECT_FALSE(files.deleteError().has_value());
    EXPECT_EQ(changed.count(), 1) << "the owner refreshes and announces";
}

TEST_F(ModelDownloadControllerTest, AControllerGoneMidDownloadCallsNobodyBack) {
    auto files = std::make_unique<ModelDownloadController>();
    bool finished = false;
    files->download(fetch(), [&](std::exception_ptr) { finished = true; });
    clock_.advance(1s);
    files.reset();
    clock_.advance(5s);
    EXPECT_FALSE(finished);
    lateProgress(1000, 1000); // must not touch the destroyed controller
}

} // namespace
} // namespace quillory::testing
