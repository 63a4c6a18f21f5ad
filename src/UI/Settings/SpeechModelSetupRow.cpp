#include "UI/Settings/SpeechModelSetupRow.h"

#include "Runtime/Localization.h"
#include "UI/Settings/ModelTabWidgets.h"
#include "UI/Settings/SettingsWidgets.h"
#include "UI/Settings/SpeechModelSection.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

namespace quillory {

namespace {
std::optional<SpeechModelEntry> entryOf(const SpeechModelCatalogue& catalogue, const QString& id) {
    for (const SpeechModelEntry& entry : catalogue.models()) {
        if (entry.id == id) return entry;
    }
    return std::nullopt;
}
} // namespace

SpeechModelSetupRow::SpeechModelSetupRow(std::shared_ptr<SpeechModelCatalogue> catalogue, QWidget* parent)
    : QWidget(parent), catalogue_(std::move(catalogue)) {
    setObjectName(QStringLiteral("permissionsSpeechModel"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* title = new QLabel(L("permission.speech_model.title"), this);
    title->setWordWrap(true);
    layout->addWidget(title);
    auto* line = new QHBoxLayout;
    pill_ = new StatusPill(this);
    download_ = new QPushButton(L("polish.model.download"), this);
    download_->setObjectName(QStringLiteral("permissionsSpeechModelDownload"));
    cancel_ = new QPushButton(L("permission.speech_model.cancel"), this);
    cancel_->setObjectName(QStringLiteral("permissionsSpeechModelCancel"));
    line->addWidget(pill_, 1);
    line->addWidget(download_);
    line->addWidget(cancel_);
    layout->addLayout(line);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("permissionsSpeechModelProgress"));
    layout->addWidget(progress_);
    recommendation_ = makeCaption({}, this);
    layout->addWidget(recommendation_);
    error_ = errorLabel(this);
    layout->addWidget(error_);

    connect(download_, &QPushButton::clicked, this, &SpeechModelSetupRow::download);
    connect(cancel_, &QPushButton::clicked, this, &SpeechModelSetupRow::cancel);
    connect(&files_, &ModelDownloadController::changed, this, &SpeechModelSetupRow::render);
    refresh();
}

SpeechModelSetupRow::~SpeechModelSetupRow() {
    if (cancel_source_) cancel_source_->cancel();
}

bool SpeechModelSetupRow::installed() const {
    return installed_;
}

void SpeechModelSetupRow::setStatus(const AppStatus& status) {
    files_.setStatus(status);
}

void SpeechModelSetupRow::refresh() {
    const bool before = installed_;
    installed_ = catalogue_->isDownloaded(catalogue_->selectedId());
    render();
    if (before != installed_) emit installedChanged();
}

void SpeechModelSetupRow::download() {
    const QString id = catalogue_->recommendedId();
    cancelledByUser_ = false;
    auto source = std::make_unique<CancellationSource>();
    const CancellationToken token = source->token();
    if (!files_.download(
            [catalogue = catalogue_, id, token](ModelDownloadController::Progress progress) {
                return catalogue->downloadCancellable(id, std::move(progress), token);
            },
            [this, id](std::exception_ptr failure) {
                cancel_source_.reset();
                // A model arrived while the one in use is missing: dictation uses this one now.
                if (!failure && catalogue_->isDownloaded(id) && !catalogue_->isDownloaded(catalogue_->selectedId())) {
                    catalogue_->select(id);
                }
                refresh();
            })) {
        return;
    }
    if (files_.inProgress()) cancel_source_ = std::move(source);
    render();
}

void SpeechModelSetupRow::cancel() {
    if (cancel_source_) {
        cancelledByUser_ = true;
        cancel_source_->cancel();
    }
}

void SpeechModelSetupRow::render() {
    const auto selected = entryOf(*catalogue_, catalogue_->selectedId());
    const auto recommended = entryOf(*catalogue_, catalogue_->recommendedId());
    if (files_.inProgress()) {
        const qint64 total = files_.total();
        const QString percent =
            total > 0 ? QString::number(int(100 * files_.received() / total)) + QLatin1Char('%') : QString();
        pill_->set(StatusPill::Symbol::exclamation, StatusPill::Tone::orange,
                   Localization::format("permission.speech_model.downloading", percent).trimmed());
    } else if (installed_) {
        pill_->set(StatusPill::Symbol::check, StatusPill::Tone::green,
                   Localization::format("permission.speech_model.installed",
                                        selected ? selected->displayName : catalogue_->selectedId()));
    } else {
        pill_->set(StatusPill::Symbol::exclamation, StatusPill::Tone::orange, L("permission.speech_model.missing"));
    }
    if (recommended) {
        recommendation_->setText(L("permission.speech_model.recommended")
                                     .arg(QString::number(QThread::idealThreadCount()), recommended->displayName,
                                          recommended->downloadSizeDescription));
    }
    const bool recommendedPresent = recommended && catalogue_->isDownloaded(recommended->id);
    download_->setVisible(!files_.inProgress() && !recommendedPresent);
    download_->setEnabled(files_.canChangeFiles());
    cancel_->setVisible(files_.inProgress() && cancel_source_ != nullptr);
    showProgress(progress_, files_.inProgress(), files_.received(), files_.total());
    showOptionalText(error_, cancelledByUser_ && !files_.inProgress()
                                 ? std::optional<QString>(L("permission.speech_model.cancelled"))
                                 : files_.downloadError());
}

} // namespace quillory
