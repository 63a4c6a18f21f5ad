#pragma once

// The audio of one recognition that no settled segment covers yet.
//
// A ring of samples, allocated before capture starts: the capture thread copies each buffer in
// under a short lock and never allocates; the recogniser reads what it decodes, forgets what has
// settled, and makes room (allocating on its own thread) before the ring could fill. Samples are
// numbered from the start of the recognition, so positions stay valid as the ring wraps and grows.

#include <QtGlobal>

#include <mutex>
#include <span>
#include <vector>

namespace quillory {

class CaptureBuffer {
public:
    /// Allocates room for `capacity` samples.
    explicit CaptureBuffer(qint64 capacity);

    // ---- capture thread ----

    /// Copies `samples` in. Returns false when the buffer no longer accepts audio (closed, released);
    /// samples that find the ring full are dropped and counted (`reserve` keeps that from happening).
    bool append(std::span<const float> samples);

    // ---- any thread ----

    /// Position just after the last sample appended.
    qint64 end() const;
    /// Position of the oldest sample kept.
    qint64 start() const;
    /// Copies the samples from `from` (raised to `start()` when older) to the end into `out`, and
    /// returns the position of `out[0]`.
    qint64 read(qint64 from, std::vector<float>& out) const;
    /// Samples kept, the ring's size, samples dropped because it was full.
    qint64 held() const;
    qint64 capacity() const;
    qint64 dropped() const;

    // ---- the recogniser's thread ----

    /// Forgets the samples before `position`.
    void discardBefore(qint64 position);
    /// Grows the ring when fewer than `room` samples are free (to twice its size at least).
    void reserve(qint64 room);
    /// Accepts no more audio (the end of audio); what is kept stays readable.
    void close();
    /// Accepts no more audio and frees the ring.
    void release();

private:
    void copyOut(qint64 from, qint64 to, float* out) const;

    mutable std::mutex mutex_;
    std::vector<float> ring_;
    qint64 start_ = 0;
    qint64 end_ = 0;
    qint64 dropped_ = 0;
    bool accepting_ = true;
};

} // namespace quillory
