#pragma once

#include <QString>

namespace quillory::whisper {

// whisper.cpp's loaders trust the file: a truncated download or a foreign file makes them read
// past the end, allocate from garbage sizes or stop the process. These checks walk the whole
// file layout (header, vocabulary, every tensor's shape, type and size) without reading the
// weights, so only a file whisper.cpp can load safely reaches it.

/// A whisper.cpp speech model (".bin", magic "ggml"). False with `*error` set when it cannot be used.
bool checkSpeechModelFile(const QString& path, QString* error);

/// A whisper.cpp Silero VAD model. False with `*error` set when it cannot be used; on success
/// `*frameSamples` (when given) holds the model's samples per frame.
bool checkVadModelFile(const QString& path, QString* error, int* frameSamples = nullptr);

} // namespace quillory::whisper
