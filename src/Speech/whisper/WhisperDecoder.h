#pragma once

// The recogniser's decoder seam over the whisper.cpp binding: a loaded speech model plus the
// Silero VAD model beside it.

#include "Speech/SpeechDecoder.h"

namespace quillory::whisper {

/// Loads `modelPath` and the VAD model `vadPath` (both on the calling thread, meant to be the
/// recognition worker). Fails when either is missing or does not load.
Expected<std::shared_ptr<SpeechDecoder>> loadDecoder(const QString& modelPath, const QString& vadPath, int threads);

/// A loader for `WhisperRecognizerHost`: the VAD model is `vadPath()` at load time (normally the
/// one in the speech model folder). Threads: `threads` when positive, else `defaultThreads()`.
SpeechDecoderLoader makeDecoderLoader(std::function<QString()> vadPath, int threads = 0);

/// The shortest speech the VAD reports, in milliseconds (a quick "はい" is about 150 ms).
inline constexpr int kMinSpeechMs = 80;

/// The machine's cores, not counting second hardware threads.
int physicalCores();
/// The CPU threads a decode uses by default: `QUILLORY_WHISPER_THREADS`, else the machine's
/// physical cores up to 8. While the fast model writes the live text alongside, the selected model leaves it its
/// cores.
int defaultThreads();
/// The threads of the fast model that writes the live text: a quarter of the physical cores, 1 or 2.
int partialThreads();
/// The threads a decode that would like `wanted` takes when `othersRunning` threads of other work
/// are runnable on `cores` cores: only the idle cores, at least one. whisper.cpp's threads
/// spin-wait for each other after every operation, so one that shares its core with other work
/// stalls them all.
int threadsForIdleCores(int wanted, int cores, int othersRunning);
/// The threads runnable on the machine right now besides the calling one (/proc/stat), 0 when unknown.
int othersRunning();

} // namespace quillory::whisper
