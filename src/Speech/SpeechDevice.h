#pragma once

// Where the on-device models compute: the processor, or a GPU through Vulkan. The setting is read
// by the recogniser's binding (Speech/whisper/GpuBackend) and by the polish engine's llama-server
// (its GPU layers); the choice itself, with its checks, lives with each runtime.

#include <QString>

namespace quillory {

class DefaultsStore;

/// What the user asked for.
enum class ComputeDevicePreference {
    automatic, ///< a GPU when one is there and computes right, else the processor
    cpu,       ///< the processor only: Vulkan is never loaded
    gpu,       ///< a GPU whenever one starts, without the accuracy check
};

namespace ComputeDevices {
/// "quillory.speech.device": "auto" (the default, also for unset or unknown values), "cpu" or "gpu".
inline constexpr const char* preferenceKey = "quillory.speech.device";

/// The stored preference; `automatic` when unset. An unknown value also reads as `automatic`,
/// and `unknown` (when given) receives it so the caller can say so.
ComputeDevicePreference preference(const DefaultsStore& store, QString* unknown = nullptr);
/// "auto", "cpu" or "gpu".
QString name(ComputeDevicePreference preference);
} // namespace ComputeDevices

} // namespace quillory
