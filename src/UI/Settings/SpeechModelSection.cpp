#include "UI/Settings/SpeechModelSection.h"

#include "Runtime/Localization.h"
#include "UI/Settings/ModelTabWidgets.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace quillory {

SpeechModelSectionModel::SpeechModelSectionModel(std::shared_ptr<SpeechModelCatalogue> catalogue, QObject* parent)
    : QObject(parent), catalogue_(std::move(catalogue)), shownId_(catalogue_->selectedId()) {
    shownDownloaded_ = catalogue_->isDownloaded(shownId_);
    connect(&files_, &ModelDownloadController::changed, this, &SpeechModelSectionModel::changed);
}

void SpeechModelSectionModel::setStatus(const AppStatus& status) {
    files_.setStatus(status);
}

bool SpeechModelSectionModel::isBusy() const {
    return files_.sessionBusy();
}

void SpeechModelSectionModel::show(const QString& id) {
    if (id == shownId_ || !canChange()) {
        return;
    }
    shownId_ = id;
    refresh();
}

std::optional<SpeechModelEntry> SpeechModelSectionModel::shownEntry() const {
    for (const SpeechModelEntry& entry : catalogue_->models()) {
        if (entry.id == shownId_) {
            return entry;
        }
    }
    return std::nullopt;
}

bool SpeechModelSectionModel::shownIsSelected() const {
    return catalogue_->selectedId() == shownId_;
}

bool SpeechModelSectionModel::canChange() const {
    return files_.canChangeFiles();
}

bool SpeechModelSectionModel::canDelete() const {
    return canChange() && shownDownloaded_ && !shownIsSelected();
}

bool SpeechModelSectionModel::canSelect() const {
    return canChange() && shownDownloaded_ && !shownIsSelected();
}

void SpeechModelSectionModel::refresh() {
    files_.clearErrors();
    shownDownloaded_ = catalogue_->isDownloaded(shownId_);
    emit changed();
}

void SpeechModelSectionModel::download() {
    if (!canDownload()) {
        return;
    }
    files_.download(
        [catalogue = catalogue_, id = shownId_](ModelDownloadController::Progress progress) {
            return catalogue->download(id, std::move(progress));
        },
        [this](std::exception_ptr) { refresh(); });
}

void SpeechModelSectionModel::deleteShown() {
    if (canDelete() && files_.remove([this] { catalogue_->remove(shownId_); })) {
        refresh();
    }
}

void SpeechModelSectionModel::selectShown() {
    if (!canSelect()) {
        return;
    }
    catalogue_->select(shownId_);
    emit changed();
}

SpeechModelSection::SpeechModelSection(SpeechModelSectionModel* model, QWidget* parent)
    : QWidget(parent), model_(model) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* form = new QFormLayout;
    picker_ = new QComboBox(this);
    picker_->setObjectName(QStringLiteral("speechModelPicker"));
    for (const SpeechModelEntry& entry : model_->models()) {
        picker_->addItem(entry.displayName, entry.id);
    }
    form->addRow(L("speech.model.label"), picker_);
    size_ = new QLabel(this);
    form->addRow(L("polish.model.download_size"), size_);
    state_ = new QLabel(this);
    form->addRow(L("polish.model.status"), state_);
    layout->addLayout(form);

    detail_ = makeCaption({}, this);
    layout->addWidget(detail_);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("speechModelProgress"));
    layout->addWidget(progress_);
    downloadError_ = errorLabel(this);
    deleteError_ = errorLabel(this);
    layout->addWidget(downloadError_);
    layout->addWidget(deleteError_);

    auto* buttons = new QHBoxLayout;
    download_ = new QPushButton(this);
    download_->setObjectName(QStringLiteral("speechModelDownload"));
    delete_ = new QPushButton(L("polish.model.delete"), this);
    delete_->setObjectName(QStringLiteral("speechModelDelete"));
    select_ = new QPushButton(L("speech.model.use"), this);
    select_->setObjectName(QStringLiteral("speechModelSelect"));
    buttons->addWidget(download_);
    buttons->addWidget(delete_);
    buttons->addStretch();
    buttons->addWidget(select_);
    layout->addLayout(buttons);

    connect(picker_, &QComboBox::currentIndexChanged, this,
            [this](int index) { model_->show(picker_->itemData(index).toString()); });
    connect(download_, &QPushButton::clicked, model_, &SpeechModelSectionModel::download);
    connect(delete_, &QPushButton::clicked, model_, &SpeechModelSectionModel::deleteShown);
    connect(select_, &QPushButton::clicked, model_, &SpeechModelSectionModel::selectShown);
    connect(model_, &SpeechModelSectionModel::changed, this, &SpeechModelSection::render);
    render();
}

void SpeechModelSection::render() {
    {
        const QSignalBlocker blocker(picker_);
        picker_->setCurrentIndex(picker_->findData(model_->shownId()));
    }
    picker_->setEnabled(model_->canChange());
    const auto entry = model_->shownEntry();
    size_->setText(entry ? entry->downloadSizeDescription : QString());
    detail_->setText(entry ? entry->detail : QString());
    QString state = model_->shownDownloaded() ? L("polish.model.downloaded") : L("polish.model.not_downloaded");
    if (model_->shownIsSelected()) {
        state += QStringLiteral(" · ") + L("speech.model.in_use");
    }
    state_->setText(state);
    setStatusColour(state_, model_->shownDownloaded());
    showProgress(progress_, model_->downloadInProgress(), model_->downloadReceived(), model_->downloadTotal());
    showOptionalText(downloadError_, model_->downloadError());
    showOptionalText(deleteError_, model_->deleteError());
    download_->setText(model_->shownDownloaded() ? L("polish.model.redownload") : L("polish.model.download"));
    download_->setEnabled(model_->canDownload());
    delete_->setVisible(model_->shownDownloaded());
    delete_->setEnabled(model_->canDelete());
    select_->setEnabled(model_->canSelect());
}

} // namespace quillory
