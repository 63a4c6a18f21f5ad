#pragma once

#include "Input/InputPlatform.h"
#include "Runtime/Scheduler.h"

namespace quillory {

/// Something that can put text into the focused application.
class TextInjector {
public:
    virtual ~TextInjector() = default;
    /// True when the text was handed to the target.
    virtual bool inject(const QString& text) = 0;
};

/// Works on the focused element through the accessibility interface.
class AccessibleTextInjector final : public TextInjector {
public:
    AccessibleTextInjector(std::shared_ptr<FocusedElementProvider> focus);

    /// The focused text-like element's value: nullopt when none can be read, "" for a value that
    /// is not a string.
    std::optional<QString> readFocusedTextValueIfAvailable() const;
    /// Writes through the accessibility interface (selection replace, else append to the value).
    bool inject(const QString& text) override;

private:
    std::shared_ptr<AccessibleElement> focusedTextLikeElement() const;
    std::shared_ptr<FocusedElementProvider> focus_;
};

/// Pastes through the clipboard with a synthesised paste key press, then puts the user's previous
/// clipboard contents back unless something else wrote to the clipboard meanwhile.
///
/// The restore comes 0.6 s after the paste key, or, where the clipboard reports when another
/// application reads our data, 0.6 s after the target has read it (at most 3 s after the paste
/// key: then it is restored anyway, and logged), so a busy target never pastes the old contents.
/// A paste that comes while a restore is pending keeps the user's contents of that pending
/// restore, not the earlier dictation. A clipboard that cannot be read is never "restored" to
/// nothing: it is left alone and keeps the pasted text. When the paste key reads the primary
/// selection, that selection is written and restored by the same rules.
class ClipboardPasteInjector final : public TextInjector {
public:
    static constexpr int kVirtualKeyV = 9;
    static constexpr quint64 kCommandFlag = 0x100000;
    static constexpr Duration kRestoreDelay = seconds(0.6);
    /// How long a restore waits for the target to read the pasted text.
    static constexpr Duration kFetchWaitLimit = seconds(3);

    ClipboardPasteInjector(std::shared_ptr<InjectionTrust> trust, std::shared_ptr<Clipboard> clipboard,
                        std::shared_ptr<KeyEventPoster> keys, std::shared_ptr<Clipboard> primarySelection = nullptr);

    bool inject(const QString& text) override;
    /// Posts one paste key press (down, then up); false when the events could not be made.
    bool sendPasteKey();
    /// A deep copy of the clipboard's items, type by type (data first, else string); nullopt when
    /// the items cannot be listed (the clipboard cannot be read).
    static std::optional<std::vector<ClipboardItem>> captureSnapshot(const Clipboard& clipboard);
    /// True while a restore is scheduled.
    bool restorePending() const;

    struct RestoreState; // shared with the scheduled restore, defined in the .cpp

private:
    std::shared_ptr<InjectionTrust> trust_;
    std::shared_ptr<Clipboard> clipboard_;
    std::shared_ptr<KeyEventPoster> keys_;
    std::shared_ptr<Clipboard> primarySelection_;
    std::shared_ptr<RestoreState> restore_;
};

} // namespace quillory
