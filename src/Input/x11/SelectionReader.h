#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>
#include <utility>
#include <vector>

namespace quillory::input {

class X11Connection;

/// A selection's contents as (MIME type, bytes) pairs in the owner's order; text comes as one
/// "text/plain" entry in UTF-8.
using SelectionContents = std::vector<std::pair<QString, QByteArray>>;

/// Reads every data format of an X selection ("CLIPBOARD", "PRIMARY") from its owner over our own
/// connection, with a time limit for the whole read: nullopt (and the reason in `why`) when the
/// owner does not answer in time or refuses to list its formats, so that a stuck owner never
/// blocks the caller for longer. An unowned selection is empty. Large data (INCR) is read in
/// pieces within the same limit. Must not be used for a selection this process owns (it could
/// not answer while we wait). Main thread only.
std::optional<SelectionContents> readSelection(X11Connection& connection, const char* selection,
                                               std::chrono::milliseconds limit, QString* why = nullptr);

} // namespace quillory::input
