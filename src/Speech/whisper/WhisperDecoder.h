#pragma once

// The recogniser's decoder seam over the whisper.cpp binding: a loaded speech model plus the
// Silero VAD model beside it.

#include "Speech/SpeechDecoder.h"

namespace quillory::whisper {

/// Loads `modelPath` and the VAD model `vadPath` (both on the calling thread, meant to be the
/// recognition worker). Null with `*error` set when either is missing or does not load.
std::shared_ptr<SpeechDecoder> loadDecoder(const QString& modelPath, const QString& vadPath, QString* error,
                                           int threads);

/// A loader for `WhisperRecognizerHost`: the VAD model is `vadPath()` at load time (normally the
/// one in the speech model folder). Threads: `QUILLORY_WHISPER_THREADS`, else the machine's cores
/// up to 4.
SpeechDecoderLoader makeDecoderLoader(std::function<QString()> vadPath);

/// The CPU threads a decode uses by default.
int defaultThreads();

} // namespace quillory::whisper
