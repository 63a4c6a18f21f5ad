#pragma once

#include <QString>

namespace quillory::HostCPU {

/// The machine hardware name (`uname -m`: "x86_64", "aarch64", ...), or "" when it can't be read.
QString machineHardwareName();
/// Whether the local inference runtime runs on a machine of this hardware name.
bool isSupportedMachine(const QString& machineHardwareName);
/// True on x86_64 and aarch64 hosts (the architectures the llama.cpp CPU builds run on).
bool isLocalLlamaRuntimeSupported();

} // namespace quillory::HostCPU
