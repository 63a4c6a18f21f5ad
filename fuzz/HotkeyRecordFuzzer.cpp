// The stored hotkey record ("quillory.hotkeyConfig"), including the forms earlier versions
// wrote. A decoded record re-encodes to one that decodes to the same configuration.

#include "FuzzSupport.h"

#include "Hotkey/HotkeyConfig.h"

using namespace quillory;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto decoded = HotkeyConfig::decode(fuzz::bytesOf(data, size));
    if (!decoded) {
        return 0;
    }
    const auto again = HotkeyConfig::decode(decoded->encode());
    QUILLORY_FUZZ_CHECK(again.has_value());
    QUILLORY_FUZZ_CHECK(*again == *decoded);
    (void)decoded->needsModifierMonitor();
    (void)decoded->needsHotKeyGrab();
    return 0;
}
