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
class AXTextInjector final : public TextInjector {
public:
    AXTextInjector(std::shared_ptr<FocusedElementProvider> focus);

    /// The focused text-like element's value: nullopt when none can be read, "" for a value that
    /// is not a string.
    std::optional<QString> readFocusedTextValueIfAvailable() const;
    /// Writes through the accessibility interface (selection replace, else append to the value).
    bool inject(const QString& text) override;

private:
    std::shared_ptr<AccessibleElement> focusedTextLikeElement() const;
    std::shared_ptr<FocusedElementProvider> focus_;
};

/// Pastes through the clipboard with a synthesised paste key press, then restores the previous
/// clipboard contents 0.6 s later unless something else wrote to the clipboard meanwhile.
class CGEventTextInjector final : public TextInjector {
public:
    static constexpr int kVirtualKeyV = 9;
    static constexpr quint64 kCommandFlag = 0x100000;
    static constexpr Duration kRestoreDelay = seconds(0.6);

    CGEventTextInjector(std::shared_ptr<InjectionTrust> trust, std::shared_ptr<Pasteboard> pasteboard,
                        std::shared_ptr<KeyEventPoster> keys);

    bool inject(const QString& text) override;
    /// Posts one paste key press (down, then up); false when the events could not be made.
    bool postCommandV();
    /// A deep copy of the clipboard's items, type by type (data first, else string).
    static std::vector<PasteboardItem> captureSnapshot(const Pasteboard& pasteboard);

private:
    std::shared_ptr<InjectionTrust> trust_;
    std::shared_ptr<Pasteboard> pasteboard_;
    std::shared_ptr<KeyEventPoster> keys_;
};

} // namespace quillory
