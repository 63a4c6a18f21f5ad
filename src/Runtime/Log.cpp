#include "Runtime/Log.h"

namespace quillory {
Q_LOGGING_CATEGORY(lcApp, "app.quillory.quillory.app")
Q_LOGGING_CATEGORY(lcSpeech, "app.quillory.quillory.speech")
Q_LOGGING_CATEGORY(lcInput, "app.quillory.quillory.input")
Q_LOGGING_CATEGORY(lcHotkey, "app.quillory.quillory.hotkey")
Q_LOGGING_CATEGORY(lcLoginItem, "app.quillory.quillory.loginItem")
Q_LOGGING_CATEGORY(lcSparkle, "app.quillory.quillory.sparkle")
Q_LOGGING_CATEGORY(lcCommit, "app.quillory.quillory.commit")
} // namespace quillory
