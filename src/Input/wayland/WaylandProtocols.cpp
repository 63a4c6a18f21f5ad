// The protocol code wayland-scanner generates, compiled as C++ (the project has no C compiler
// settings). The client headers come first: their extern "C" declarations give the interface
// definitions below external C linkage.
#include "fake-input-client-protocol.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include "fake-input-protocol.c"
#include "virtual-keyboard-unstable-v1-protocol.c"
#include "wlr-foreign-toplevel-management-unstable-v1-protocol.c"
#include "wlr-data-control-unstable-v1-protocol.c"
#include "wlr-layer-shell-unstable-v1-protocol.c"
#include "xdg-shell-protocol.c"
