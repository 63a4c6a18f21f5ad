#pragma once

#include "Dictionary/UserDictionary.h"

#include <QWidget>

#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace quillory {

class AppState;

/// The dictionary tab: registers replacements (at most 100), edits and removes them. The list is
/// loaded when the tab is shown and saved whole after every change. Everything is disabled while
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
    void entriesChanged();
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
    QPushButton* register_ = nullptr;
    QLabel* empty_ = nullptr;
    QWidget* listHost_ = nullptr;
    QVBoxLayout* listLayout_ = nullptr;
    std::vector<RowWidgets> rows_;
};

} // namespace quillory
