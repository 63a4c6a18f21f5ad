#include "Input/linux/WaylandProtocols.h"

namespace quillory::input {

WaylandProtocolInput waylandProtocolsNotBuilt() {
    WaylandProtocolInput none;
    none.unavailableReason = QStringLiteral("this build has no virtual-keyboard or data-control backend");
    return none;
}

bool waylandProtocolsBuilt() {
    return kWaylandProtocolFactory != &waylandProtocolsNotBuilt;
}

} // namespace quillory::input
