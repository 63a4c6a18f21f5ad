#pragma once

#include <QString>

namespace quillory::Paths {

/// `$XDG_CONFIG_HOME/quillory` (default `~/.config/quillory`).
QString configDirectory();
/// `$XDG_DATA_HOME/quillory` (default `~/.local/share/quillory`): the application support folder.
QString dataDirectory();
/// `$XDG_CACHE_HOME/quillory` (default `~/.cache/quillory`).
QString cacheDirectory();
/// The user's temporary folder.
QString tempDirectory();
/// The user's home folder.
QString homeDirectory();

} // namespace quillory::Paths
