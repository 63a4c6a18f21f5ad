#pragma once

// One loaded (or loading) speech model, shared by the host, which fills it on the model's worker,
// and the recognitions, whose jobs read it on that worker. Internal to the recogniser.

#include "Speech/WhisperRecognizer.h"

#include <mutex>

namespace quillory {

struct WhisperRecognizerHost::Slot {
    std::mutex mutex;
    std::shared_ptr<SpeechDecoder> decoder;
    QString error;
    bool done = false;

    /// The decoder, or why there is none.
    Expected<std::shared_ptr<SpeechDecoder>> get() {
        std::lock_guard lock(mutex);
        if (!decoder) {
            return Failure{done ? error : QStringLiteral("the speech model is not loaded")};
        }
        return decoder;
    }
};

} // namespace quillory
