#include "Strings/StringTables.h"

namespace quillory::Localization {

std::vector<LocalizedString> localizedStrings() {
    std::vector<LocalizedString> all;
    for (auto table : {coreStrings(), sessionStrings(), polishStrings(), systemStrings(), hotkeyStrings(),
                       audioStrings(), overlayStrings(), appShellStrings(),
                       speechStrings(), settingsStrings(),
                       modelTabStrings()}) {
        all.insert(all.end(), table.begin(), table.end());
    }
    return all;
}

void installAllStrings() {
    installStrings(localizedStrings());
}

} // namespace quillory::Localization
