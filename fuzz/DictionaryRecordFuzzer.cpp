// The stored replacement dictionary ("quillory.userDictionary.entries"): a JSON array of
// {id, source, target}. A decoded list re-encodes to the same list, and the recogniser hints
// of any list stay within their limit.

#include "FuzzSupport.h"

#include "Dictionary/UserDictionary.h"

using namespace quillory;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto entries = UserDictionary::decode(fuzz::bytesOf(data, size));
    if (!entries) {
        return 0;
    }
    const auto again = UserDictionary::decode(UserDictionary::encode(*entries));
    QUILLORY_FUZZ_CHECK(again.has_value());
    QUILLORY_FUZZ_CHECK(again->size() == entries->size());
    for (std::size_t i = 0; i < entries->size(); ++i) {
        const auto& a = (*entries)[i];
        const auto& b = (*again)[i];
        QUILLORY_FUZZ_CHECK(a.id == b.id);
        QUILLORY_FUZZ_CHECK(UserDictionary::idString(a.id).size() == 36);
        // Text that is valid UTF-16 survives the round trip unchanged (a lone surrogate cannot).
        if (a.source.isValidUtf16()) {
            QUILLORY_FUZZ_CHECK(a.source == b.source);
        }
        if (a.target.isValidUtf16()) {
            QUILLORY_FUZZ_CHECK(a.target == b.target);
        }
    }
    const QStringList hints = UserDictionary::contextualStrings(*entries);
    QUILLORY_FUZZ_CHECK(hints.size() <= UserDictionary::maxContextualStrings);
    return 0;
}
