#include "ModelTabTestSupport.h"

#include "Runtime/Localization.h"
#include "UI/Settings/SpeechModelSection.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <memory>

namespace quillory::testing {
namespace {

class SpeechModelSectionTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        catalogue_ = std::make_shared<FakeSpeechCatalogue>();
        catalogue_->deviceTime = 500ms; // the probe takes a while: the window never waits for it
        model_ = new SpeechModelSectionModel(catalogue_);
        section_ = std::make_unique<SpeechModelSection>(model_);
        model_->setParent(section_.get());
        section_->show();
    }
    void TearDown() override {
        section_.reset();
        CoreTest::TearDown();
    }
    template <typename W> W* find(const char* name) { return child<W>(section_.get(), name); }

    std::shared_ptr<FakeSpeechCatalogue> catalogue_;
    SpeechModelSectionModel* model_ = nullptr;
    std::unique_ptr<SpeechModelSection> section_;
};

TEST_F(SpeechModelSectionTest, DownloadShowsProgressAndTheNewModelCanThenBeUsed) {
    EXPECT_EQ(model_->shownId(), QStringLiteral("small")) << "opens on the model in use";
    EXPECT_FALSE(find<QPushButton>("speechModelDelete")->isEnabled()) << "the model in use stays";
    EXPECT_FALSE(find<QPushButton>("speechModelSelect")->isEnabled());

    find<QComboBox>("speechModelPicker")->setCurrentIndex(2);
    EXPECT_EQ(model_->shownId(), QStringLiteral("large"));
    EXPECT_FALSE(find<QPushButton>("speechModelSelect")->isEnabled()) << "a missing model cannot be used";
    EXPECT_FALSE(find<QPushButton>("speechModelDelete")->isVisible());

    auto* progress = find<QProgressBar>("speechModelProgress");
    find<QPushButton>("speechModelDownload")->click();
    EXPECT_TRUE(progress->isVisible());
    EXPECT_EQ(progress->maximum(), 0) << "size unknown yet: a busy bar";
    EXPECT_FALSE(find<QComboBox>("speechModelPicker")->isEnabled());
    clock_.advance(1s);
    EXPECT_EQ(progress->value(), progress->maximum() / 4);
    clock_.advance(3s);
    EXPECT_FALSE(progress->isVisible());
    EXPECT_TRUE(model_->shownDownloaded());

    find<QPushButton>("speechModelSelect")->click();
    EXPECT_EQ(catalogue_->selected, QStringLiteral("large"));
    EXPECT_FALSE(find<QPushButton>("speechModelSelect")->isEnabled());
}

TEST_F(SpeechModelSectionTest, FailuresAreShownAndBusySessionsBlockChanges) {
    find<QComboBox>("speechModelPicker")->setCurrentIndex(1);
    catalogue_->downloadFailure = QStringLiteral("connection reset");
    find<QPushButton>("speechModelDownload")->click();
    clock_.advance(4s);
    EXPECT_EQ(model_->downloadError(), QStringLiteral("connection reset"));
    EXPECT_FALSE(model_->shownDownloaded());

    catalogue_->downloadFailure.reset();
    catalogue_->present.insert(QStringLiteral("medium"));
    model_->refresh();
    EXPECT_FALSE(model_->downloadError().has_value()) << "a refresh clears it";
    catalogue_->removeFailure = QStringLiteral("read-only file system");
    find<QPushButton>("speechModelDelete")->click();
    EXPECT_EQ(model_->deleteError(), QStringLiteral("read-only file system"));
    EXPECT_TRUE(model_->shownDownloaded());
    catalogue_->removeFailure.reset();
    find<QPushButton>("speechModelDelete")->click();
    EXPECT_FALSE(model_->shownDownloaded());

    catalogue_->present.insert(QStringLiteral("medium"));
    model_->refresh();
    model_->setStatus(AppStatus::processing());
    for (const char* name : {"speechModelDownload", "speechModelDelete", "speechModelSelect"}) {
        EXPECT_FALSE(find<QPushButton>(name)->isEnabled()) << name;
    }
    EXPECT_FALSE(find<QComboBox>("speechModelPicker")->isEnabled());
    model_->selectShown();
    EXPECT_EQ(catalogue_->selected, QStringLiteral("small")) << "no switch in the middle of a session";
}

TEST_F(SpeechModelSectionTest, TheDevicePickerShowsAndWritesTheSettingAndTheStatusGivesTheReason) {
    const QString key = QString::fromLatin1(ComputeDevices::preferenceKey);
    auto* picker = find<QComboBox>("speechDevicePicker");
    auto* status = find<QLabel>("speechDeviceStatus");
    EXPECT_EQ(picker->currentIndex(), 0) << "unset: automatic";
    EXPECT_EQ(status->text(), L("speech.device.pending")) << "no answer yet: the window never waits for the probe";
    clock_.advance(500ms);
    EXPECT_EQ(status->text(), L("speech.device.pending")) << "none can be given here";

    store_->setString(key, QStringLiteral("gpu")); // written elsewhere (the command line)
    EXPECT_EQ(picker->currentText(), L("speech.device.gpu"));
    store_->setString(key, QStringLiteral("fast"));
    EXPECT_EQ(picker->currentText(), L("speech.device.auto")) << "an unknown value reads as automatic";

    catalogue_->device = RecognitionDevice{false, QStringLiteral("CPU"), QStringLiteral("quillory.speech.device is cpu")};
    picker->setCurrentIndex(picker->findText(L("speech.device.cpu")));
    EXPECT_EQ(store_->stringValue(key), QStringLiteral("cpu"));
    EXPECT_EQ(status->text(), L("speech.device.pending")) << "the old answer is gone at once";
    clock_.advance(500ms);
    EXPECT_EQ(status->text(), L("speech.device.now_cpu").arg(QStringLiteral("quillory.speech.device is cpu")));

    // Two changes in a row: the first answer, now stale, never shows.
    catalogue_->device = RecognitionDevice{true, QStringLiteral("Vulkan0: Radeon"), QStringLiteral("stale")};
    picker->setCurrentIndex(picker->findText(L("speech.device.gpu")));
    catalogue_->device = RecognitionDevice{true, QStringLiteral("Vulkan0: Radeon"), QStringLiteral("it computed the check right")};
    clock_.advance(250ms);
    picker->setCurrentIndex(picker->findText(L("speech.device.auto")));
    EXPECT_EQ(store_->stringValue(key), QStringLiteral("auto"));
    clock_.advance(250ms);
    EXPECT_EQ(status->text(), L("speech.device.pending"));
    clock_.advance(250ms);
    EXPECT_EQ(status->text(), L("speech.device.now_gpu").arg(QStringLiteral("Vulkan0: Radeon"),
                                                             QStringLiteral("it computed the check right")));
}

} // namespace
} // namespace quillory::testing
