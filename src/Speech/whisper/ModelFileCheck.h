#pragma once

#include "Runtime/Expected.h"

#include <QString>

namespace quillory::whisper {

// whisper.cpp's loaders trust the file: a truncated download or a foreign file makes them read
// past the end, allocate from garbage sizes or stop the process. These checks walk the whole
// file layout (header, vocabulary, every tensor's shape, type and size) without reading the
// weights, so only a file whisper.cpp can load safely reaches it.

/// A whisper.cpp speech model (".bin", magic "ggml"); fails with the reason it cannot be used.
Expected<> checkSpeechModelFile(const QString& path);

/// A whisper.cpp Silero VAD model: its samples per frame, or the reason it cannot be used.
Expected<int> checkVadModelFile(const QString& path);

} // namespace quillory::whisper
