#pragma once

#include <QString>

#include <optional>

namespace quillory::BuildInfo {

/// The short version ("0.1.0"), or nothing where the build did not record one.
std::optional<QString> shortVersion();
/// The build identifier (the commit the build was made from), or nothing.
std::optional<QString> buildIdentifier();

} // namespace quillory::BuildInfo
