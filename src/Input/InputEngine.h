#pragma once

#include "Input/InputError.h"
#include "Input/TextInjector.h"
#include "Input/TextInsertion.h"

namespace quillory {

/// Inserts committed text into the focused application (always by paste) and reads the focused
/// field's value for the session baseline.
class InputEngine final : public TextInsertion {
public:
    explicit InputEngine(InputPlatform platform);

    std::optional<QString> captureBaselineForLiveDictation() override;
    /// Trims the text and pastes it; nothing for a blank text. Throws `InputError`.
    void commitFinalNow(const std::optional<QString>& baseline, const QString& finalText);
    /// Pastes the text unchanged. Throws `InputError`: without a paste key the words are left on
    /// the platform's fallback clipboard where it has one (`leftOnClipboard`).
    void insert(const QString& text);

    /// True while the user's clipboard is still to be put back after a paste.
    bool clipboardRestorePending() const;

    Task<> commitFinal(std::optional<QString> baseline, QString finalText, CancellationToken cancel) override;

private:
    bool isTrusted() const;
    bool leaveOnClipboard(const QString& text);
    InputPlatform platform_;
    AccessibleTextInjector primary_;
    ClipboardPasteInjector pasteInjector_;
};

} // namespace quillory
