#include "Input/TextInjector.h"

#include "Utilities/Log.h"

namespace quillory {

namespace {
const QString kFocusedUIElement = QStringLiteral("AXFocusedUIElement");
const QString kRole = QStringLiteral("AXRole");
const QString kValue = QStringLiteral("AXValue");
const QString kSelectedText = QStringLiteral("AXSelectedText");

bool isString(const QVariant& v) {
    return v.isValid() && v.typeId() == QMetaType::QString;
}
} // namespace

// ---- accessibility ----

AXTextInjector::AXTextInjector(std::shared_ptr<FocusedElementProvider> focus) : focus_(std::move(focus)) {}

std::shared_ptr<AccessibleElement> AXTextInjector::focusedTextLikeElement() const {
    auto element = focus_ ? focus_->focusedElement() : nullptr;
    if (!element) {
        return nullptr;
    }
    const std::optional<QVariant> roleValue = element->attribute(kRole);
    const QString role = roleValue && isString(*roleValue) ? roleValue->toString() : QString();
    if (role == QLatin1String("AXTextField") || role == QLatin1String("AXTextArea") ||
        role == QLatin1String("AXComboBox")) {
        return element;
    }
    return nullptr;
}

std::optional<QString> AXTextInjector::readFocusedTextValueIfAvailable() const {
    auto element = focusedTextLikeElement();
    if (!element) {
        return std::nullopt;
    }
    const std::optional<QVariant> value = element->attribute(kValue);
    if (!value) {
        return std::nullopt;
    }
    return isString(*value) ? value->toString() : QString();
}

bool AXTextInjector::inject(const QString& text) {
    auto element = focusedTextLikeElement();
    if (!element) {
        return false;
    }
    if (element->setAttribute(kSelectedText, text)) {
        return true;
    }
    const std::optional<QVariant> value = element->attribute(kValue);
    if (!value) {
        return false;
    }
    const QString current = isString(*value) ? value->toString() : QString();
    return element->setAttribute(kValue, current + text);
}

// ---- paste ----

CGEventTextInjector::CGEventTextInjector(std::shared_ptr<InjectionTrust> trust,
                                         std::shared_ptr<Pasteboard> pasteboard,
                                         std::shared_ptr<KeyEventPoster> keys)
    : trust_(std::move(trust)), pasteboard_(std::move(pasteboard)), keys_(std::move(keys)) {}

std::vector<PasteboardItem> CGEventTextInjector::captureSnapshot(const Pasteboard& pasteboard) {
    std::vector<PasteboardItem> copies;
    const auto items = pasteboard.items();
    if (!items) {
        return copies;
    }
    for (const auto& source : *items) {
        PasteboardItem copy;
        if (source) {
            for (const QString& type : source->types()) {
                if (auto data = source->data(type)) {
                    copy.entries.emplace_back(type, QByteArray(data->constData(), data->size()));
                } else if (auto string = source->string(type)) {
                    copy.entries.emplace_back(type, QString(string->constData(), string->size()));
                }
            }
        }
        copies.push_back(std::move(copy));
    }
    return copies;
}

bool CGEventTextInjector::postCommandV() {
    if (!keys_ || !keys_->createEventSource()) {
        return false;
    }
    const KeyEvent down{kVirtualKeyV, true, kCommandFlag};
    const KeyEvent up{kVirtualKeyV, false, kCommandFlag};
    if (!keys_->createEvent(down) || !keys_->createEvent(up)) {
        return false;
    }
    keys_->post(down);
    keys_->post(up);
    return true;
}

bool CGEventTextInjector::inject(const QString& text) {
    if (!trust_ || !trust_->isTrusted()) {
        return false;
    }
    if (text.isEmpty()) {
        return true;
    }
    if (!pasteboard_) {
        return false;
    }
    auto pasteboard = pasteboard_;
    auto snapshot = captureSnapshot(*pasteboard);

    bool written = false;
    try {
        written = pasteboard->clearContents() >= 0 && pasteboard->setString(text, Pasteboard::stringType);
    } catch (const std::exception& e) {
        qCWarning(lcInput, "Writing the clipboard failed: %s", e.what());
    }
    if (!written) {
        // Put the user's clipboard back at once, even when the clear itself fails again.
        try {
            pasteboard->clearContents();
        } catch (const std::exception& e) {
            qCWarning(lcInput, "Clearing the clipboard failed: %s", e.what());
        }
        try {
            if (!snapshot.empty()) {
                pasteboard->writeItems(snapshot);
            }
        } catch (const std::exception& e) {
            qCWarning(lcInput, "Restoring the clipboard failed: %s", e.what());
        }
        return false;
    }

    const qint64 expectedChangeCount = pasteboard->changeCount();
    bool posted = false;
    try {
        posted = postCommandV();
    } catch (const std::exception& e) {
        qCWarning(lcInput, "Posting the paste key failed: %s", e.what());
    }
    Scheduler::current().postDelayed(kRestoreDelay, [pasteboard, expectedChangeCount, snapshot] {
        try {
            if (pasteboard->changeCount() != expectedChangeCount) {
                return; // someone put new contents on the clipboard: keep them
            }
            pasteboard->clearContents();
            if (!snapshot.empty()) {
                pasteboard->writeItems(snapshot);
            }
        } catch (const std::exception& e) {
            qCWarning(lcInput, "Restoring the clipboard failed: %s", e.what());
        }
    });
    return posted;
}

} // namespace quillory
