#pragma once

#include <QLoggingCategory>

// The unified-log channels, one category per channel under "app.quillory.quillory", so
// QT_LOGGING_RULES can filter them ("app.quillory.quillory.commit.info=false", ...).
namespace quillory {
Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcSpeech)
Q_DECLARE_LOGGING_CATEGORY(lcInput)
Q_DECLARE_LOGGING_CATEGORY(lcHotkey)
Q_DECLARE_LOGGING_CATEGORY(lcLoginItem)
Q_DECLARE_LOGGING_CATEGORY(lcSparkle)
Q_DECLARE_LOGGING_CATEGORY(lcCommit)
} // namespace quillory
