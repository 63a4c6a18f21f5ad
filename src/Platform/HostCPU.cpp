#include "Platform/HostCPU.h"

#include <sys/utsname.h>

namespace quillory::HostCPU {

QString machineHardwareName() {
    struct utsname info {};
    if (uname(&info) != 0) {
        return {};
    }
    return QString::fromLatin1(info.machine);
}

bool isSupportedMachine(const QString& name) {
    return name == QLatin1String("x86_64") || name == QLatin1String("aarch64") ||
           name == QLatin1String("arm64");
}

bool isLocalLlamaRuntimeSupported() {
    return isSupportedMachine(machineHardwareName());
}

} // namespace quillory::HostCPU
