#include "Input/InputEngine.h"

#include "Runtime/Text.h"
#include "Runtime/Log.h"

namespace quillory {

InputEngine::InputEngine(InputPlatform platform)
    : platform_(platform), primary_(platform.focus),
      pasteInjector_(platform.trust, platform.clipboard, platform.keys, platform.primarySelection) {}

bool InputEngine::clipboardRestorePending() const {
    return pasteInjector_.restorePending();
}

bool InputEngine::isTrusted() const {
    return platform_.trust && platform_.trust->isTrusted();
}

std::optional<QString> InputEngine::captureBaselineForLiveDictation() {
    if (!isTrusted()) {
        return std::nullopt;
    }
    return primary_.readFocusedTextValueIfAvailable();
}

void InputEngine::commitFinalNow(const std::optional<QString>& /*baseline*/, const QString& finalText) {
    if (!isTrusted()) {
        throw InputError::accessibilityNotTrusted();
    }
    const QString text = Text::trimmed(finalText);
    if (text.isEmpty()) {
        return;
    }
    insert(text);
}

void InputEngine::insert(const QString& text) {
    const bool trusted = isTrusted();
    if (trusted && text.isEmpty()) {
        return;
    }
    if (trusted && pasteInjector_.inject(text)) {
        return;
    }
    if (!trusted && !text.isEmpty() && leaveOnClipboard(text)) {
        throw InputError::leftOnClipboard();
    }
    throw trusted ? InputError::injectionFailed() : InputError::accessibilityNotTrusted();
}

bool InputEngine::leaveOnClipboard(const QString& text) {
    const auto& board = platform_.fallbackClipboard;
    if (!board) {
        return false;
    }
    try {
        return board->clearContents() >= 0 && board->setString(text, Clipboard::stringType);
    } catch (const std::exception& e) {
        qCWarning(lcInput, "Leaving the words on the clipboard failed: %s", e.what());
    }
    return false;
}

Task<> InputEngine::commitFinal(std::optional<QString> baseline, QString finalText,
                                CancellationToken /*cancel*/) {
    // Synchronous once it runs: a paste that has started is never interrupted.
    commitFinalNow(baseline, finalText);
    co_return;
}

} // namespace quillory
