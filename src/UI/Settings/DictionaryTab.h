#pragma once

#include "Dictionary/UserDictionary.h"

#include <QWidget>

#include <functional>
#include <optional>

#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace quillory {

class AppState;
class SettingsPage;

/// The dictionary tab: registers replacements (at most 100), edits and removes them. The list is
/// loaded when the tab is shown; every change is one locked read-modify-write of the stored list
/// (`UserDictionary::updateEntries`), so entries another writer (the command line) stored while the
/// window was open are kept, and the tab then shows the merged list. Everything is disabled while
/// a dictation records or processes.
class DictionaryTab : public QWidget {
    Q_OBJECT

public:
    static constexpr int limit = UserDictionary::maxEntries;

    DictionaryTab(AppState& state, QWidget* parent = nullptr);

    const std::vector<UserDictionaryEntry>& entries() const { return entries_; }
    bool busy() const;
    bool canRegister() const;
    /// Appends the draft as a new entry (trimmed; refused when blank or at the limit).
    void registerDraft();
    /// Loads the stored list into the tab (what showing the tab does).
    void reload();

    QLineEdit* draftSourceField() const { return draftSource_; }
    QLineEdit* draftTargetField() const { return draftTarget_; }
    QPushButton* registerButton() const { return register_; }
    QLabel* countLabel() const { return count_; }
    /// Why the last change could not be stored (hidden when it was).
    QLabel* errorLabel() const { return error_; }
    /// The rows' widgets, in list order: source field, target field, remove button.
    struct RowWidgets {
        QWidget* row;
        QLineEdit* source;
        QLineEdit* target;
        QPushButton* remove;
    };
    const std::vector<RowWidgets>& rows() const { return rows_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildRegisterSection(SettingsPage* page);
    void buildListSection(SettingsPage* page);
    /// Applies `change` to the stored list as it is now and shows the result. `focusedId` names the
    /// entry whose field is being typed in, kept focused when the rows are rebuilt.
    bool store(const std::function<bool(std::vector<UserDictionaryEntry>&)>& change,
               const std::optional<QUuid>& focusedId = {}, bool focusSource = true);
    void rebuildRows();
    void updateEnabled();
    void removeEntry(const QUuid& id);
    void editEntry(const QUuid& id, bool source, const QString& text);

    AppState& state_;
    std::vector<UserDictionaryEntry> entries_;
    QWidget* draftRow_ = nullptr;
    QLineEdit* draftSource_ = nullptr;
    QLineEdit* draftTarget_ = nullptr;
    QLabel* count_ = nullptr;
    QLabel* error_ = nullptr;
    QPushButton* register_ = nullptr;
    QLabel* empty_ = nullptr;
    QWidget* listHost_ = nullptr;
    QVBoxLayout* listLayout_ = nullptr;
    std::vector<RowWidgets> rows_;
};

} // namespace quillory
