#pragma once

#include "Input/InputPlatform.h"

#include <QString>

#include <memory>

namespace quillory::input {

/// What the compositor-protocol backends give the input engine: the virtual-keyboard paste key and
/// the data-control clipboard (each null where the compositor or the build lacks it), made on a
/// Wayland connection of their own.
struct WaylandProtocolInput {
    std::shared_ptr<KeyEventPoster> keys;
    std::shared_ptr<Clipboard> clipboard;
    /// Why they could not be made; empty when they were.
    QString unavailableReason;
};

using WaylandProtocolFactory = WaylandProtocolInput (*)();

/// The stand-in for a build without the protocol backends: gives nothing, saying so.
WaylandProtocolInput waylandProtocolsNotBuilt();

/// The protocol backends this build carries. This is the one place that changes when the
/// Input/wayland backends are linked in (an adapter over their factory). The backend choice reads
/// it to know whether "virtual-keyboard" and "data-control" have code behind them.
inline constexpr WaylandProtocolFactory kWaylandProtocolFactory = &waylandProtocolsNotBuilt;

/// Whether `kWaylandProtocolFactory` is a real one.
bool waylandProtocolsBuilt();

} // namespace quillory::input
