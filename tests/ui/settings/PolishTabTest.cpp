#include "ContrastTestSupport.h"
#include "ModelTabTestSupport.h"

#include "AI/PolishSettings.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"
#include "UI/Settings/PolishTab.h"
#include "UI/Settings/PolishTabModel.h"
#include "UI/Settings/HelpPopoverButton.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>
#include <QTest>

#include <memory>

namespace quillory::testing {
namespace {

using PolishTabTest = ModelTabTest<PolishTab, PolishTabModel>;

/// Turns the wheel one notch down over the middle of `editor`'s text area, as the window system
/// would (Qt passes only such spontaneous wheel events on to the parents).
void wheelDown(QPlainTextEdit* editor) {
    QWidget* viewport = editor->viewport();
    const QPointF at = QRectF(viewport->rect()).center();
    QWheelEvent wheel(at, viewport->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QSpontaneKeyEvent::setSpontaneous(&wheel);
    QApplication::sendEvent(viewport, &wheel);
}

TEST_F(PolishTabTest, TheWheelOverAnUnfocusedEditorScrollsThePage) {
    open();
    auto* page = tab_->findChild<QScrollArea*>();
    ASSERT_NE(page, nullptr);
    QScrollBar* pageBar = page->verticalScrollBar();
    ASSERT_GT(pageBar->maximum(), 0) << "the page is taller than the window";
    for (const char* name : {"polishPrompt", "polishTestInput", "polishTestOutput"}) {
        auto* editor = find<QPlainTextEdit>(name);
        editor->setPlainText(QStringLiteral("line\n").repeated(80)); // scrollable itself
        page->ensureWidgetVisible(editor);
        QApplication::processEvents();
        editor->clearFocus();
        const int before = pageBar->value();
        const int editorBefore = editor->verticalScrollBar()->value();
        wheelDown(editor);
        EXPECT_GT(pageBar->value(), before) << name << ": the page scrolls";
        EXPECT_EQ(editor->verticalScrollBar()->value(), editorBefore) << name;

        // Once the user is in the editor, the wheel is the editor's.
        editor->setFocus();
        QApplication::processEvents();
        if (editor->hasFocus()) {
            const int pageAt = pageBar->value();
            wheelDown(editor);
            EXPECT_EQ(pageBar->value(), pageAt) << name;
            EXPECT_GT(editor->verticalScrollBar()->value(), editorBefore) << name;
        }
        editor->clearFocus();
        pageBar->setValue(0);
    }
}

TEST_F(PolishTabTest, TestRunsOnlyWithTextWhileIdleOrAfterAnError) {
    PolishTabModel& model = open();
    auto* run = find<QPushButton>("polishTestRun");
    auto* input = find<QPlainTextEdit>("polishTestInput");

    EXPECT_FALSE(run->isEnabled());
    input->setPlainText(QStringLiteral("  \n\t \n"));
    EXPECT_FALSE(model.canRunPolishTest()) << "blank input";
    EXPECT_FALSE(run->isEnabled());

    input->setPlainText(QStringLiteral(" えーと今日は晴れです \n"));
    EXPECT_TRUE(run->isEnabled());
    model.setStatus(AppStatus::error(QStringLiteral("マイクが見つかりません")));
    EXPECT_TRUE(run->isEnabled()) << "an error status does not block the test";

    for (const AppStatus& busy : {AppStatus::recording(), AppStatus::processing()}) {
        model.setStatus(busy);
        EXPECT_FALSE(run->isEnabled()) << busy.caseName().toStdString();
        EXPECT_FALSE(input->isEnabled());
        EXPECT_FALSE(find<QComboBox>("polishModelPicker")->isEnabled());
        EXPECT_FALSE(find<QPushButton>("polishDownload")->isEnabled());
        EXPECT_FALSE(find<QPushButton>("polishCleanup")->isEnabled());
    }
    engine_->present.insert(PolishSettings::selectedModel());
    model.refreshModelStatus();
    EXPECT_FALSE(find<QPushButton>("polishDelete")->isEnabled()) << "delete while recording";

    model.setStatus(AppStatus::idle());
    EXPECT_TRUE(run->isEnabled());
    EXPECT_TRUE(find<QPushButton>("polishDelete")->isEnabled());
    run->click();
    EXPECT_TRUE(model.testInProgress());
    EXPECT_FALSE(run->isEnabled()) << "one test at a time";
    EXPECT_FALSE(input->isEnabled());
    EXPECT_FALSE(find<QPushButton>("polishCleanup")->isEnabled());
    EXPECT_FALSE(find<QPushButton>("polishDelete")->isEnabled()) << "deleting would stop the test's server";
    model.runPolishTest();
    clock_.advance(10s);
    EXPECT_EQ(engine_->polishPrompts.size(), 1) << "a second request while one runs";
}

TEST_F(PolishTabTest, TestShowsResultModelAndWallClockDurationIncludingTheDownload) {
    PolishTabModel& model = open();
    PolishSettings::setPrompt(QStringLiteral("句読点を整えてください。"));
    find<QPlainTextEdit>("polishTestInput")->setPlainText(QStringLiteral(" えーと今日は晴れです "));
    find<QPushButton>("polishTestRun")->click();
    EXPECT_TRUE(find<QProgressBar>("polishTestProgress")->isVisible());

    clock_.advance(4s);
    EXPECT_TRUE(model.testInProgress()) << "download 2 s + request 3 s";
    clock_.advance(1s);
    ASSERT_FALSE(model.testInProgress());
    EXPECT_EQ(engine_->polishPrompts, QList<QString>{QStringLiteral("句読点を整えてください。")});
    EXPECT_EQ(find<QPlainTextEdit>("polishTestOutput")->toPlainText(), QStringLiteral("【えーと今日は晴れです】"));
    EXPECT_EQ(model.testResultModelName(), PolishModels::displayName(PolishSettings::selectedModel()));
    ASSERT_TRUE(model.testResultDurationSeconds().has_value());
    EXPECT_DOUBLE_EQ(*model.testResultDurationSeconds(), 5.0);
    EXPECT_TRUE(find<QLabel>("polishTestResultDuration")->isVisible());
    EXPECT_EQ(find<QLabel>("polishTestResultDuration")->text(), QStringLiteral("Time: 5.00 s"));
    EXPECT_FALSE(find<QProgressBar>("polishTestProgress")->isVisible());
    EXPECT_TRUE(model.modelDownloaded()) << "the status is refreshed after the test";

    // A failing run clears the previous result and shows its error.
    engine_->polishFailure = QStringLiteral("timeout");
    find<QPushButton>("polishTestRun")->click();
    EXPECT_TRUE(model.testResultText().isEmpty());
    EXPECT_FALSE(find<QLabel>("polishTestResultModel")->isVisible());
    clock_.advance(3s);
    ASSERT_TRUE(model.testError().has_value());
    EXPECT_TRUE(find<QLabel>("polishTestError")->isVisible());
    EXPECT_TRUE(model.testError()->contains(QStringLiteral("timeout")));
    EXPECT_FALSE(model.testResultDurationSeconds().has_value());
    EXPECT_TRUE(find<QPushButton>("polishTestRun")->isEnabled());
}

TEST_F(PolishTabTest, DownloadShowsProgressThenTheDownloadedState) {
    PolishTabModel& model = open();
    auto* state = find<QLabel>("polishModelState");
    auto* download = find<QPushButton>("polishDownload");
    auto* progress = find<QProgressBar>("polishDownloadProgress");
    EXPECT_EQ(state->text(), L("polish.model.not_downloaded"));
    EXPECT_FALSE(progress->isVisible());
    EXPECT_FALSE(find<QPushButton>("polishDelete")->isVisible());

    download->click();
    EXPECT_TRUE(progress->isVisible());
    EXPECT_FALSE(download->isEnabled());
    EXPECT_FALSE(find<QComboBox>("polishModelPicker")->isEnabled());
    EXPECT_FALSE(find<QPushButton>("polishCleanup")->isEnabled());
    EXPECT_EQ(progress->value(), 0);
    clock_.advance(1s);
    EXPECT_EQ(progress->value(), progress->maximum() / 2);

    clock_.advance(1s);
    EXPECT_FALSE(model.modelDownloadInProgress());
    EXPECT_FALSE(progress->isVisible());
    EXPECT_EQ(state->text(), L("polish.model.downloaded"));
    EXPECT_EQ(download->text(), L("polish.model.redownload"));
    EXPECT_TRUE(find<QPushButton>("polishDelete")->isVisible());
    EXPECT_TRUE(find<QComboBox>("polishModelPicker")->isEnabled());
}

TEST_F(PolishTabTest, FailedDownloadKeepsItsMessageUntilTheNextRefresh) {
    PolishTabModel& model = open();
    engine_->downloadFailure = QStringLiteral("HTTP 503");
    find<QPushButton>("polishDownload")->click();
    clock_.advance(2s);
    ASSERT_TRUE(model.modelDownloadError().has_value());
    EXPECT_TRUE(model.modelDownloadError()->contains(QStringLiteral("HTTP 503")));
    EXPECT_TRUE(find<QLabel>("polishDownloadError")->isVisible());
    EXPECT_EQ(find<QLabel>("polishModelState")->text(), L("polish.model.not_downloaded"));

    // Choosing another model refreshes, which clears the message.
    auto* picker = find<QComboBox>("polishModelPicker");
    picker->setCurrentIndex(2);
    EXPECT_EQ(PolishSettings::selectedModel(), PolishModels::allCases[2]);
    EXPECT_FALSE(model.modelDownloadError().has_value());
    EXPECT_FALSE(find<QLabel>("polishDownloadError")->isVisible());
}

// The warning and error tones come from the settings palette: lighter on a dark theme.
TEST_F(PolishTabTest, MissingModelAndErrorsReadOnADarkTheme) {
    const QPalette light = QApplication::palette();
    QApplication::setPalette(darkPalette());
    open();
    engine_->downloadFailure = QStringLiteral("HTTP 503");
    find<QPushButton>("polishDownload")->click();
    clock_.advance(2s);
    auto* error = find<QLabel>("polishDownloadError");
    ASSERT_TRUE(error->isVisible());
    EXPECT_GE(textContrast(error), 4.5) << "the error";
    EXPECT_GE(textContrast(find<QLabel>("polishModelState")), 4.5) << "not downloaded";
    QApplication::setPalette(light);
}

TEST_F(PolishTabTest, DeleteAndCleanupReportTheirOutcome) {
    const PolishModel selected = PolishSettings::selectedModel();
    engine_->present.insert(selected);
    PolishTabModel& model = open();
    EXPECT_TRUE(model.modelDownloaded()) << "refreshed when shown";

    engine_->deleteFailure = QStringLiteral("Permission denied");
    find<QPushButton>("polishDelete")->click();
    EXPECT_EQ(model.modelDeleteError(), QStringLiteral("Permission denied"));
    EXPECT_TRUE(find<QLabel>("polishDeleteError")->isVisible());
    EXPECT_TRUE(model.modelDownloaded());

    engine_->deleteFailure.reset();
    find<QPushButton>("polishDelete")->click();
    EXPECT_EQ(engine_->deleted, QList<PolishModel>{selected});
    EXPECT_FALSE(model.modelDeleteError().has_value());
    EXPECT_FALSE(model.modelDownloaded());
    EXPECT_FALSE(find<QPushButton>("polishDelete")->isVisible());

    // Nothing left over (the button's own stop of the warm server is not "0 stopped").
    engine_->strayServers = 0;
    find<QPushButton>("polishCleanup")->click();
    EXPECT_EQ(find<QLabel>("polishCleanupMessage")->text(), Localization::text("polish.runtime.cleanup.none"));
    EXPECT_FALSE(find<QLabel>("polishCleanupMessage")->text().contains(QLatin1Char('0')));
    engine_->strayServers = 2;
    find<QPushButton>("polishCleanup")->click();
    EXPECT_EQ(find<QLabel>("polishCleanupMessage")->text(),
              Localization::format("polish.runtime.cleanup.done", QStringLiteral("2")));
    engine_->cleanupFails = true;
    find<QPushButton>("polishCleanup")->click();
    EXPECT_TRUE(find<QLabel>("polishCleanupMessage")->text().contains(QStringLiteral("pgrep is missing")));
}

TEST_F(PolishTabTest, PromptEditsAreStoredAndResetRestoresTheDefault) {
    open();
    auto* editor = find<QPlainTextEdit>("polishPrompt");
    EXPECT_EQ(editor->toPlainText(), PolishSettings::defaultPrompt());

    editor->setPlainText(QStringLiteral("敬語にしてください。"));
    EXPECT_EQ(PolishSettings::prompt(), QStringLiteral("敬語にしてください。"));
    EXPECT_TRUE(DefaultsStore::standard().value(QString::fromLatin1(PolishSettings::promptKey)).isValid());

    find<QPushButton>("polishPromptReset")->click();
    EXPECT_FALSE(DefaultsStore::standard().value(QString::fromLatin1(PolishSettings::promptKey)).isValid());
    EXPECT_EQ(editor->toPlainText(), PolishSettings::defaultPrompt());
}

TEST_F(PolishTabTest, ToggleWritesTheBindingAndAClosedTabIgnoresLateResults) {
    bool enabled = false;
    auto* model = new PolishTabModel(engine_, {[&] { return enabled; }, [&](bool on) { enabled = on; }});
    tab_ = std::make_unique<PolishTab>(model, nullptr);
    model->setParent(tab_.get());
    tab_->show();
    find<QCheckBox>("polishEnable")->click();
    EXPECT_TRUE(enabled);

    find<QPlainTextEdit>("polishTestInput")->setPlainText(QStringLiteral("テスト"));
    find<QPushButton>("polishTestRun")->click();
    find<QPushButton>("polishDownload")->click();
    tab_.reset();
    clock_.advance(10s); // the download and the test finish after the tab is gone
    EXPECT_EQ(engine_->polishPrompts.size(), 1);
}

} // namespace
} // namespace quillory::testing

namespace quillory::testing {
namespace {

TEST_F(PolishTabTest, HelpTextsFollowTheSelectedModel) {
    open();
    auto helpTexts = [this] {
        QStringList texts;
        for (auto* button : tab_->findChildren<HelpPopoverButton*>(QStringLiteral("help"))) {
            texts << button->helpText();
        }
        return texts;
    };
    const PolishModel next = PolishModels::allCases[1];
    find<QComboBox>("polishModelPicker")->setCurrentIndex(1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const QStringList texts = helpTexts();
    ASSERT_EQ(texts.size(), 2);
    EXPECT_TRUE(texts[0].startsWith(PolishModels::detail(next))) << texts[0].toStdString();
    EXPECT_TRUE(texts[0].endsWith(L("polish.local_only")));
    EXPECT_TRUE(texts[1].startsWith(Localization::format("polish.test.uses", PolishModels::displayName(next))));
    EXPECT_TRUE(texts[1].endsWith(L("polish.test.help.extra")));
}

} // namespace
} // namespace quillory::testing
