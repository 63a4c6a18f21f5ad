#pragma once

// Recognition on a server with the on-device recogniser beside it.
//
// The on-device recogniser runs the whole session as it would alone: it writes the live text,
// settles segments at pauses and makes its own final (beside a server on this computer, only once
// the server failed: the two decoders would share the same cores). The audio is also kept here until the
// recognition ends. The connection to the server opens as the recognition starts (the handshake is
// done while the user speaks). Each time a segment settles, the audio up to its end goes to the server (with
// the language, and the dictionary hints plus the server's text so far as the prompt); when the
// audio ends, the rest goes, so the wait after the last word is one segment long. The final text
// is the server's pieces joined in order. A server that cannot be reached, answers a piece late,
// with an error status or with something that is not a transcription (or hears no words at all)
// leaves the on-device final, logged as `stage=server_fallback` — the dictation is never lost to
// the server.

#include "Speech/RemoteSpeech.h"
#include "Speech/SpeechBackend.h"

#include <functional>
#include <memory>

namespace quillory {

class RemoteRecognizer final : public SpeechRecognizer {
public:
    /// `onDevice` is the recogniser of this computer (its final is the fallback).
    RemoteRecognizer(std::shared_ptr<SpeechRecognizer> onDevice, RemoteSpeechSettings settings);

    bool isAvailable() const override { return onDevice_->isAvailable(); }
    /// The on-device recogniser is always there to fall back on.
    bool supportsOnDeviceRecognition() const override { return onDevice_->supportsOnDeviceRecognition(); }
    bool reportsWholeSessionText() const override { return onDevice_->reportsWholeSessionText(); }
    std::shared_ptr<RecognitionRequest> makeRequest(const RecognitionOptions& options) override;
    std::unique_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     ResultHandler handler) override;

    /// Told on the main thread once the server answered or failed in a recognition: its text is
    /// used (`reason` empty) or why not (the command line reports it).
    using ServerOutcome = std::function<void(bool usedServer, const QString& reason)>;
    void setServerOutcomeObserver(ServerOutcome observer) { outcome_ = std::move(observer); }

    struct Session;

private:
    ServerOutcome outcome_;
    std::shared_ptr<SpeechRecognizer> onDevice_;
    RemoteSpeechSettings settings_;
};

} // namespace quillory
