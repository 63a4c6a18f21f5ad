#pragma once

#include <QString>

/// The model hosting service every model file (polish and speech) downloads from.
namespace quillory::ModelHosting {

/// The defaults key that names another host (a mirror).
inline constexpr const char* baseURLKey = "quillory.aiPolish.modelBaseURL";

/// Where models are downloaded from: `QUILLORY_MODEL_BASE_URL`, else the defaults key
/// "quillory.aiPolish.modelBaseURL", else "https://huggingface.co/". Always ends in a slash.
QString baseURL();

/// The address of `file` in `repository` ("owner/name") on the hosting service.
QString fileURL(const QString& repository, const QString& file);

} // namespace quillory::ModelHosting
