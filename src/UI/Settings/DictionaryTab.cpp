#include "UI/Settings/DictionaryTab.h"

#include "App/AppState.h"
#include "Runtime/Localization.h"
#include "UI/Settings/SettingsTabs.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillory {

namespace {
QLabel* arrowLabel(QWidget* parent) {
    auto* arrow = new QLabel(parent);
    arrow->setPixmap(QIcon(QStringLiteral(":/quillory/icons/arrow-right.svg")).pixmap(14, 14));
    arrow->setAccessibleName(QString());
    return arrow;
}

/// Shows a field's beginning while it is not being edited; keyboard focus puts the cursor at the
/// end, ready to go on typing (a click puts it where clicked).
class ShowBeginningUnlessEditing : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* field = static_cast<QLineEdit*>(watched);
        if (event->type() == QEvent::FocusIn &&
            static_cast<QFocusEvent*>(event)->reason() != Qt::MouseFocusReason) {
            field->end(false);
        } else if (event->type() == QEvent::FocusOut) {
            field->setCursorPosition(0);
        }
        return false;
    }
};

QLineEdit* entryField(const QString& text, const char* placeholderKey, QWidget* parent) {
    auto* field = new QLineEdit(text, parent);
    field->setPlaceholderText(L(placeholderKey));
    field->setAccessibleName(L(placeholderKey));
    field->setMinimumWidth(100);
    field->setClearButtonEnabled(false);
    // A long entry shows its beginning (QLineEdit would scroll to its end), whole in the tooltip.
    field->setCursorPosition(0);
    field->installEventFilter(new ShowBeginningUnlessEditing(field));
    field->setToolTip(text);
    return field;
}
} // namespace

DictionaryTab::DictionaryTab(AppState& state, QWidget* parent) : QWidget(parent), state_(state) {
    setObjectName(QStringLiteral("quillory.settings.dictionaryTab"));
    SettingsPage* page = SettingsPage::fill(this);
    buildRegisterSection(page);
    buildListSection(page);
    page->finish();

    connect(&state_, &AppState::statusChanged, this, &DictionaryTab::updateEnabled);
    rebuildRows();
}

/// The draft (reading and replacement), the count and the register button, the save error.
void DictionaryTab::buildRegisterSection(SettingsPage* page) {
    auto* registerSection = page->addSection(L("dictionary.title"));
    registerSection->addHelp(L("dictionary.help.summary") + QStringLiteral("\n\n") + L("dictionary.help.detail"));
    draftRow_ = new QWidget(registerSection);
    auto* draftLayout = new QHBoxLayout(draftRow_);
    draftLayout->setContentsMargins(0, 0, 0, 0);
    draftSource_ = entryField({}, "dictionary.source.placeholder", draftRow_);
    draftTarget_ = entryField({}, "dictionary.target.placeholder", draftRow_);
    draftLayout->addWidget(draftSource_, 1);
    draftLayout->addWidget(arrowLabel(draftRow_));
    draftLayout->addWidget(draftTarget_, 1);
    registerSection->body()->addWidget(draftRow_);
    auto* registerRow = new QHBoxLayout;
    count_ = makeCaption({}, registerSection);
    register_ = new QPushButton(L("dictionary.register.section"), registerSection);
    register_->setDefault(true);
    registerRow->addWidget(count_, 1);
    registerRow->addWidget(register_);
    registerSection->body()->addLayout(registerRow);
    error_ = makeCaption({}, registerSection, /*secondary=*/false);
    error_->setWordWrap(true);
    error_->hide();
    registerSection->body()->addWidget(error_);
    connect(draftSource_, &QLineEdit::textChanged, this, &DictionaryTab::updateEnabled);
    connect(register_, &QPushButton::clicked, this, &DictionaryTab::registerDraft);
    connect(draftSource_, &QLineEdit::returnPressed, this, &DictionaryTab::registerDraft);
    connect(draftTarget_, &QLineEdit::returnPressed, this, &DictionaryTab::registerDraft);
}

/// The column captions and the rows (rebuilt from the entries).
void DictionaryTab::buildListSection(SettingsPage* page) {
    auto* listSection = page->addSection(L("dictionary.list.title"));
    auto* captions = new QHBoxLayout;
    captions->addWidget(makeCaption(L("dictionary.source.column"), listSection), 1);
    captions->addSpacing(18);
    captions->addWidget(makeCaption(L("dictionary.target.column"), listSection), 1);
    captions->addSpacing(28);
    listSection->body()->addLayout(captions);
    empty_ = makeCaption(L("dictionary.list.empty"), listSection);
    listSection->body()->addWidget(empty_);
    listHost_ = new QWidget(listSection);
    listLayout_ = new QVBoxLayout(listHost_);
    listLayout_->setContentsMargins(0, 0, 0, 0);
    listLayout_->setSpacing(6);
    listSection->body()->addWidget(listHost_);
}

bool DictionaryTab::busy() const {
    const auto kind = state_.status().kind();
    return kind == AppStatus::Kind::recording || kind == AppStatus::Kind::processing;
}

bool DictionaryTab::canRegister() const {
    return !busy() && entries_.size() < std::size_t(limit) && !draftSource_->text().trimmed().isEmpty();
}

void DictionaryTab::registerDraft() {
    const QString source = draftSource_->text().trimmed();
    if (source.isEmpty() || entries_.size() >= std::size_t(limit) || busy()) {
        return;
    }
    UserDictionaryEntry entry;
    entry.source = source;
    entry.target = draftTarget_->text().trimmed();
    bool added = false;
    const bool stored = store([&](std::vector<UserDictionaryEntry>& entries) {
        if (entries.size() >= std::size_t(limit)) {
            return false; // another writer filled the list meanwhile
        }
        entries.push_back(entry);
        added = true;
        return true;
    });
    if (stored && added) {
        draftSource_->clear(); // only once the words are stored
        draftTarget_->clear();
    }
    updateEnabled();
}

void DictionaryTab::reload() {
    entries_ = UserDictionary::loadEntries();
    rebuildRows();
}

void DictionaryTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    reload();
}

bool DictionaryTab::store(const std::function<bool(std::vector<UserDictionaryEntry>&)>& change,
                          const std::optional<QUuid>& focusedId, bool focusSource) {
    std::optional<std::vector<UserDictionaryEntry>> merged;
    QString error;
    const bool ok = UserDictionary::updateEntries(
        [&](std::vector<UserDictionaryEntry>& entries) {
            const bool changed = change(entries);
            merged = entries;
            return changed;
        },
        &error);
    if (!ok) {
        // Nothing was stored: the tab keeps what the user typed and says why.
        error_->setText(L("dictionary.error.save").arg(error));
        error_->show();
        return false;
    }
    error_->hide();
    if (merged && *merged != entries_) {
        entries_ = std::move(*merged);
        // A field being typed in keeps the focus and the cursor when the rows are rebuilt.
        const QLineEdit* focused = qobject_cast<QLineEdit*>(focusWidget());
        const int cursor = focused ? focused->cursorPosition() : 0;
        rebuildRows();
        if (focusedId) {
            for (std::size_t i = 0; i < entries_.size() && i < rows_.size(); ++i) {
                if (entries_[i].id == *focusedId) {
                    QLineEdit* field = focusSource ? rows_[i].source : rows_[i].target;
                    field->setFocus();
                    field->setCursorPosition(cursor);
                }
            }
        }
    }
    updateEnabled();
    return true;
}

void DictionaryTab::removeEntry(const QUuid& id) {
    std::erase_if(entries_, [&](const UserDictionaryEntry& e) { return e.id == id; });
    // The row that asked is deleted later (it is still inside its click handler).
    rebuildRows();
    store([&](std::vector<UserDictionaryEntry>& entries) {
        return std::erase_if(entries, [&](const UserDictionaryEntry& e) { return e.id == id; }) > 0;
    });
}

void DictionaryTab::editEntry(const QUuid& id, bool source, const QString& text) {
    UserDictionaryEntry edited;
    for (auto& entry : entries_) {
        if (entry.id == id) {
            (source ? entry.source : entry.target) = text;
            edited = entry;
        }
    }
    if (edited.id != id) {
        return;
    }
    store(
        [&](std::vector<UserDictionaryEntry>& entries) {
            for (auto& entry : entries) {
                if (entry.id == id) {
                    (source ? entry.source : entry.target) = text;
                    return true;
                }
            }
            // Removed elsewhere while being edited: the words being typed are kept.
            if (entries.size() >= std::size_t(limit)) {
                return false;
            }
            entries.push_back(edited);
            return true;
        },
        id, source);
}

void DictionaryTab::rebuildRows() {
    for (auto& row : rows_) {
        row.row->hide();
        row.row->deleteLater();
    }
    rows_.clear();
    for (const auto& entry : entries_) {
        auto* row = new QWidget(listHost_);
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* source = entryField(entry.source, "dictionary.source.placeholder", row);
        auto* target = entryField(entry.target, "dictionary.target.placeholder", row);
        auto* remove = new QPushButton(row);
        remove->setFlat(true);
        remove->setIcon(QIcon(QStringLiteral(":/quillory/icons/minus-circle.svg")));
        remove->setToolTip(L("dictionary.remove"));
        remove->setAccessibleName(L("dictionary.remove"));
        layout->addWidget(source, 1);
        layout->addWidget(arrowLabel(row));
        layout->addWidget(target, 1);
        layout->addWidget(remove);
        const QUuid id = entry.id;
        connect(source, &QLineEdit::textEdited, this, [this, id](const QString& t) { editEntry(id, true, t); });
        connect(target, &QLineEdit::textEdited, this, [this, id](const QString& t) { editEntry(id, false, t); });
        connect(remove, &QPushButton::clicked, this, [this, id] { removeEntry(id); });
        listLayout_->addWidget(row);
        rows_.push_back({row, source, target, remove});
    }
    empty_->setVisible(entries_.empty());
    listHost_->setVisible(!entries_.empty());
    updateEnabled();
}

void DictionaryTab::updateEnabled() {
    const bool isBusy = busy();
    draftRow_->setEnabled(!isBusy);
    register_->setEnabled(canRegister());
    for (auto& row : rows_) {
        row.row->setEnabled(!isBusy);
    }
    count_->setText(L("dictionary.count.format")
                        .arg(QString::number(entries_.size()), QString::number(limit)));
}

QWidget* makeDictionaryTab(AppState& state, QWidget* parent) {
    return new DictionaryTab(state, parent);
}

} // namespace quillory
