#include "App/AppStatus.h"

namespace quillory {

QString AppStatus::caseName() const {
    switch (kind_) {
    case Kind::idle:
        return QStringLiteral("idle");
    case Kind::recording:
        return QStringLiteral("recording");
    case Kind::processing:
        return QStringLiteral("processing");
    case Kind::error:
        return QStringLiteral("error");
    }
    return QStringLiteral("idle");
}

QString AppStatus::logDescription() const {
    if (kind_ == Kind::error) {
        return QStringLiteral("error(\"%1\")").arg(message_);
    }
    return caseName();
}

QString caseName(RecognitionSink sink) {
    return sink == RecognitionSink::settingsTestField ? QStringLiteral("settingsTestField")
                                                      : QStringLiteral("focusedApplication");
}

} // namespace quillory
