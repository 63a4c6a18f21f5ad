#include "AI/LocalPolishError.h"

#include "Runtime/Localization.h"

namespace quillory {

namespace {
bool carriesMessage(LocalPolishError::Kind kind) {
    switch (kind) {
    case LocalPolishError::Kind::unsupportedPlatform:
    case LocalPolishError::Kind::missingRuntime:
    case LocalPolishError::Kind::emptyOutput:
        return false;
    default:
        return true;
    }
}
} // namespace

LocalPolishError::LocalPolishError(Kind kind, QString message)
    : std::runtime_error(std::string(descriptionKey(kind)) + ": " + message.toStdString()), kind_(kind),
      message_(carriesMessage(kind) ? std::move(message) : QString()) {}

const char* LocalPolishError::descriptionKey(Kind kind) {
    switch (kind) {
    case Kind::modelDownloadFailed:
        return "polish.error.model_download.detail";
    case Kind::cleanupFailed:
        return "polish.error.cleanup.detail";
    case Kind::serverStartFailed:
        return "polish.error.server_start.detail";
    case Kind::requestFailed:
        return "polish.error.request.detail";
    case Kind::invalidResponse:
        return "polish.error.invalid_response.detail";
    case Kind::unsupportedPlatform:
        return "polish.error.unsupported_platform";
    case Kind::missingRuntime:
        return "polish.error.runtime_missing";
    case Kind::emptyOutput:
        return "polish.error.empty_output";
    }
    return "polish.error.empty_output";
}

QString LocalPolishError::localizedDescription() const {
    const char* key = descriptionKey(kind_);
    return carriesMessage(kind_) ? Localization::format(key, message_) : Localization::text(key);
}

} // namespace quillory
