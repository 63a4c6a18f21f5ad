#pragma once

// Where whisper.cpp computes: a GPU through ggml's Vulkan backend, or the CPU.
//
// The Vulkan backend is a library of its own (libggml-vulkan.so, built by
// `scripts/whisper-runtime.sh --vulkan` from the same sources as the CPU runtime), never in the
// CPU variants' folder, and is loaded only when wanted, from the first folder that holds it:
//   $QUILLORY_WHISPER_VULKAN_DIR                       when set, and then only that folder
//   <program folder>/../lib/quillory/whisper/vulkan    the install
//   <build-time Vulkan runtime>/lib                    a build tree: the script's cache entry
//
// With the setting `quillory.speech.device` at "auto" recognition runs on the GPU when the library
// loads, Vulkan offers a GPU (ggml leaves out CPU-only drivers such as lavapipe unless
// GGML_VK_VISIBLE_DEVICES names them), and a check computes right on it: a matrix product and a
// softmax, the operations the encoder and the decoder spend their time in, on the device against
// the same arithmetic done here in double precision. "cpu" never loads Vulkan; "gpu" skips the
// check. Anything else, and a GPU decode that fails, gives the CPU with the reason in the log.

#include "Runtime/Expected.h"
#include "Speech/SpeechDecoder.h"
#include "Speech/SpeechDevice.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace quillory::whisper {

/// Where recognition computes, and why.
struct ComputeDevice {
    bool gpu = false;
    QString name;   ///< "CPU", or the Vulkan device ("Vulkan0: AMD Radeon Graphics (RADV RENOIR)")
    QString reason; ///< a sentence for the log and `quillory doctor`
};

/// The steps of starting the GPU, each a seam (tests pass fakes; `vulkanSteps()` is the real one).
struct GpuSteps {
    /// Loads the Vulkan backend library: its file, or why it cannot be loaded.
    std::function<Expected<QString>()> loadBackend;
    /// The device whisper.cpp would use: its description, or why there is none.
    std::function<Expected<QString>()> findDevice;
    /// Computes the check on the device; fails with what came out wrong.
    std::function<Expected<>()> checkDevice;
};

/// The device for `preference` (pure: every fact comes from `steps`, called in order and only as
/// far as needed). `gpuFailure`, when not empty, is why an earlier GPU decode failed: then the CPU.
ComputeDevice chooseComputeDevice(ComputeDevicePreference preference, const GpuSteps& steps,
                                  const QString& gpuFailure = {});

/// The folders searched for libggml-vulkan.so, in order (see above).
QStringList vulkanBackendFolders();

/// The real steps over ggml; each runs once per process and later calls give its first answer
/// (a loaded backend cannot be unloaded). Thread-safe.
const GpuSteps& vulkanSteps();

/// The device for the stored setting (read at each call: a change applies to the next model
/// load), logged on the speech channel when it changes.
ComputeDevice currentComputeDevice();

/// Records that a decode on the GPU failed: from now on this process recognises on the CPU, until
/// the setting changes (the next choice under another preference tries the GPU again).
void reportGpuFailure(const QString& reason);

/// A decoder on the GPU that falls back to the CPU: a decode that fails on the GPU is done again on
/// the CPU (the decoder `loadCpu` gives, loaded then), so no words are lost, and every later call
/// goes to the CPU. `onGpuFailure` hears the GPU's reason once.
std::shared_ptr<SpeechDecoder> withCpuFallback(std::shared_ptr<SpeechDecoder> gpu,
                                               std::function<Expected<std::shared_ptr<SpeechDecoder>>()> loadCpu,
                                               std::function<void(const QString&)> onGpuFailure);

} // namespace quillory::whisper
