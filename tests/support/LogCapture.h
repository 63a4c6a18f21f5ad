#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace quillory::testing {

/// Collects, while it lives, the messages logged under the categories whose names start with
/// `category` (every message when it is empty); the previous message handler comes back after.
class LogCapture {
public:
    explicit LogCapture(const char* category = "") {
        category_ = category;
        lines_ = &lines;
        previous_ = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() {
        qInstallMessageHandler(previous_);
        lines_ = nullptr;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QString text() const { return lines.join(QLatin1Char('\n')); }
    QStringList lines;

private:
    static void handler(QtMsgType, const QMessageLogContext& context, const QString& message) {
        const bool ours = *category_ == '\0' ||
                          (context.category && qstrncmp(context.category, category_, qstrlen(category_)) == 0);
        if (lines_ && ours) {
            lines_->append(message);
        }
    }
    static inline const char* category_ = "";
    static inline QStringList* lines_ = nullptr;
    QtMessageHandler previous_ = nullptr;
};

} // namespace quillory::testing
