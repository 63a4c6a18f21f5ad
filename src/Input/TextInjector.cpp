#include "Input/TextInjector.h"

#include "Runtime/Log.h"

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

AccessibleTextInjector::AccessibleTextInjector(std::shared_ptr<FocusedElementProvider> focus) : focus_(std::move(focus)) {}

std::shared_ptr<AccessibleElement> AccessibleTextInjector::focusedTextLikeElement() const {
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

std::optional<QString> AccessibleTextInjector::readFocusedTextValueIfAvailable() const {
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

bool AccessibleTextInjector::inject(const QString& text) {
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

/// The restore that is due: for each clipboard we wrote, the user's contents and the change count
/// our write left. Shared between the injector, the scheduled restore and the fetch callbacks, so
/// a restore still happens after the injector is gone.
struct ClipboardPasteInjector::RestoreState {
    struct Held {
        std::shared_ptr<Clipboard> board;
        std::vector<ClipboardItem> userContents;
        qint64 expectedChangeCount = 0;
    };
    std::vector<Held> held;
    Scheduler* scheduler = nullptr;
    Scheduler::TimerId timer = 0;
    bool armed = false;
    quint64 generation = 0; ///< of the latest paste; older fetch reports are ignored
    bool fetched = false;

    Held* find(const Clipboard* board) {
        for (Held& h : held) {
            if (h.board.get() == board) {
                return &h;
            }
        }
        return nullptr;
    }
    void forget(const Clipboard* board) {
        std::erase_if(held, [board](const Held& h) { return h.board.get() == board; });
    }
    void cancelTimer() {
        if (armed && scheduler) {
            scheduler->cancel(timer);
        }
        armed = false;
    }
    static void arm(const std::shared_ptr<RestoreState>& self, Duration delay, bool afterFetchLimit) {
        self->cancelTimer();
        self->scheduler = &Scheduler::current();
        self->armed = true;
        self->timer = self->scheduler->postDelayed(delay, [self, afterFetchLimit] {
            self->armed = false;
            if (afterFetchLimit) {
                qCWarning(lcInput, "The target did not read the pasted text within %lld ms: restoring the "
                                   "clipboard anyway",
                          qint64(std::chrono::duration_cast<std::chrono::milliseconds>(kFetchWaitLimit).count()));
            }
            self->restoreNow();
        });
    }
    void restoreNow() {
        const std::vector<Held> due = std::move(held);
        held.clear();
        for (const Held& h : due) {
            try {
                h.board->whenFetched({});
                if (h.board->changeCount() != h.expectedChangeCount) {
                    continue; // someone put new contents on the clipboard: keep them
                }
                h.board->clearContents();
                if (!h.userContents.empty()) {
                    h.board->writeItems(h.userContents);
                }
            } catch (const std::exception& e) {
                qCWarning(lcInput, "Restoring the clipboard failed: %s", e.what());
            }
        }
    }
};

namespace {

/// Puts the user's contents back at once after a failed write. Contents that could not be read
/// are not replaced by nothing: the clipboard is left as it is.
void putBackAtOnce(Clipboard& clipboard, const std::optional<std::vector<ClipboardItem>>& userContents) {
    if (!userContents) {
        return;
    }
    try {
        clipboard.clearContents(); // even when the clear itself fails again
    } catch (const std::exception& e) {
        qCWarning(lcInput, "Clearing the clipboard failed: %s", e.what());
    }
    try {
        if (!userContents->empty()) {
            clipboard.writeItems(*userContents);
        }
    } catch (const std::exception& e) {
        qCWarning(lcInput, "Restoring the clipboard failed: %s", e.what());
    }
}

} // namespace

ClipboardPasteInjector::ClipboardPasteInjector(std::shared_ptr<InjectionTrust> trust,
                                         std::shared_ptr<Clipboard> clipboard,
                                         std::shared_ptr<KeyEventPoster> keys,
                                         std::shared_ptr<Clipboard> primarySelection)
    : trust_(std::move(trust)), clipboard_(std::move(clipboard)), keys_(std::move(keys)),
      primarySelection_(std::move(primarySelection)) {}

std::optional<std::vector<ClipboardItem>> ClipboardPasteInjector::captureSnapshot(const Clipboard& clipboard) {
    const auto items = clipboard.items();
    if (!items) {
        return std::nullopt;
    }
    std::vector<ClipboardItem> copies;
    for (const auto& source : *items) {
        ClipboardItem copy;
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

bool ClipboardPasteInjector::sendPasteKey() {
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

bool ClipboardPasteInjector::restorePending() const {
    return restore_ && restore_->armed;
}

bool ClipboardPasteInjector::inject(const QString& text) {
    if (!trust_ || !trust_->isTrusted()) {
        return false;
    }
    if (text.isEmpty()) {
        return true;
    }
    if (!clipboard_) {
        return false;
    }
    if (!restore_) {
        restore_ = std::make_shared<RestoreState>();
    }
    const std::shared_ptr<RestoreState> state = restore_;

    std::vector<std::shared_ptr<Clipboard>> boards{clipboard_};
    if (primarySelection_ && keys_) {
        try {
            if (keys_->pasteReadsPrimarySelection()) {
                boards.push_back(primarySelection_);
            }
        } catch (const std::exception& e) {
            qCWarning(lcInput, "Choosing the paste key failed: %s", e.what());
        }
    }

    // The user's contents of each: those a pending restore holds while nothing else wrote since
    // (an earlier paste's text is on it now), else a copy of what is there.
    std::vector<std::optional<std::vector<ClipboardItem>>> userContents;
    for (const auto& board : boards) {
        const RestoreState::Held* pending = state->find(board.get());
        if (pending && board->changeCount() == pending->expectedChangeCount) {
            userContents.emplace_back(pending->userContents);
            continue;
        }
        std::optional<std::vector<ClipboardItem>> copy;
        try {
            copy = captureSnapshot(*board);
        } catch (const std::exception& e) {
            qCWarning(lcInput, "Reading the clipboard failed: %s", e.what());
        }
        if (!copy) {
            qCWarning(lcInput, "The clipboard could not be read: it is left with the pasted text afterwards");
        }
        userContents.push_back(std::move(copy));
    }

    for (std::size_t i = 0; i < boards.size(); ++i) {
        bool written = false;
        try {
            written = boards[i]->clearContents() >= 0 && boards[i]->setString(text, Clipboard::stringType);
        } catch (const std::exception& e) {
            qCWarning(lcInput, "Writing the clipboard failed: %s", e.what());
        }
        if (!written) {
            // Put the user's contents back at once, on this clipboard and those written before.
            for (std::size_t j = 0; j <= i; ++j) {
                putBackAtOnce(*boards[j], userContents[j]);
                state->forget(boards[j].get());
            }
            if (state->held.empty()) {
                state->cancelTimer();
            }
            return false;
        }
    }

    ++state->generation;
    state->fetched = false;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        state->forget(boards[i].get());
        if (userContents[i]) {
            state->held.push_back({boards[i], std::move(*userContents[i]), boards[i]->changeCount()});
        }
    }

    bool posted = false;
    try {
        posted = sendPasteKey();
        qCDebug(lcInput, "Paste: clipboard written, paste key %s", posted ? "posted" : "not posted");
    } catch (const std::exception& e) {
        qCWarning(lcInput, "Posting the paste key failed: %s", e.what());
    }

    if (state->held.empty()) {
        state->cancelTimer();
        return posted;
    }
    bool waitForFetch = false;
    if (posted) {
        const std::weak_ptr<RestoreState> weak = state;
        const quint64 generation = state->generation;
        for (const auto& board : boards) {
            if (!board->reportsFetches()) {
                continue;
            }
            waitForFetch = true;
            board->whenFetched([weak, generation] {
                const auto self = weak.lock();
                if (!self || self->generation != generation || self->fetched || !self->armed) {
                    return;
                }
                self->fetched = true;
                qCDebug(lcInput, "Paste: the target read the clipboard");
                RestoreState::arm(self, kRestoreDelay, false);
            });
        }
    }
    RestoreState::arm(state, waitForFetch ? kFetchWaitLimit : kRestoreDelay, waitForFetch);
    return posted;
}

} // namespace quillory
