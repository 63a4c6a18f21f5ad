#include "Speech/CaptureBuffer.h"

#include <algorithm>

namespace quillory {

CaptureBuffer::CaptureBuffer(qint64 capacity) : ring_(static_cast<std::size_t>(std::max<qint64>(capacity, 1))) {}

bool CaptureBuffer::append(std::span<const float> samples) {
    std::lock_guard lock(mutex_);
    if (!accepting_) {
        return false;
    }
    const auto size = static_cast<qint64>(ring_.size());
    const qint64 room = size - (end_ - start_);
    const qint64 n = std::min<qint64>(room, static_cast<qint64>(samples.size()));
    dropped_ += static_cast<qint64>(samples.size()) - n;
    for (qint64 done = 0; done < n;) {
        const qint64 at = (end_ + done) % size;
        const qint64 chunk = std::min(n - done, size - at);
        std::copy_n(samples.data() + done, chunk, ring_.data() + at);
        done += chunk;
    }
    end_ += n;
    return true;
}

void CaptureBuffer::copyOut(qint64 from, qint64 to, float* out) const {
    const auto size = static_cast<qint64>(ring_.size());
    for (qint64 p = from; p < to;) {
        const qint64 at = p % size;
        const qint64 chunk = std::min(to - p, size - at);
        std::copy_n(ring_.data() + at, chunk, out + (p - from));
        p += chunk;
    }
}

qint64 CaptureBuffer::end() const {
    std::lock_guard lock(mutex_);
    return end_;
}

qint64 CaptureBuffer::start() const {
    std::lock_guard lock(mutex_);
    return start_;
}

qint64 CaptureBuffer::read(qint64 from, std::vector<float>& out) const {
    std::lock_guard lock(mutex_);
    from = std::clamp(from, start_, end_);
    out.resize(static_cast<std::size_t>(end_ - from));
    copyOut(from, end_, out.data());
    return from;
}

qint64 CaptureBuffer::held() const {
    std::lock_guard lock(mutex_);
    return end_ - start_;
}

qint64 CaptureBuffer::capacity() const {
    std::lock_guard lock(mutex_);
    return static_cast<qint64>(ring_.size());
}

qint64 CaptureBuffer::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

void CaptureBuffer::discardBefore(qint64 position) {
    std::lock_guard lock(mutex_);
    start_ = std::clamp(position, start_, end_);
}

void CaptureBuffer::reserve(qint64 room) {
    qint64 wanted = 0;
    {
        std::lock_guard lock(mutex_);
        const auto size = static_cast<qint64>(ring_.size());
        if (!accepting_ || size - (end_ - start_) >= room) {
            return;
        }
        wanted = std::max(2 * size, end_ - start_ + 2 * room);
    }
    // Allocated outside the lock: the capture thread goes on writing into the old ring meanwhile.
    std::vector<float> bigger(static_cast<std::size_t>(wanted));
    std::lock_guard lock(mutex_);
    const auto size = static_cast<qint64>(bigger.size());
    if (size <= static_cast<qint64>(ring_.size()) || end_ - start_ > size) {
        return; // released or filled meanwhile
    }
    for (qint64 p = start_; p < end_;) {
        const qint64 at = p % size;
        const qint64 chunk = std::min(end_ - p, size - at);
        copyOut(p, p + chunk, bigger.data() + at);
        p += chunk;
    }
    ring_.swap(bigger);
}

void CaptureBuffer::close() {
    std::lock_guard lock(mutex_);
    accepting_ = false;
}

void CaptureBuffer::release() {
    std::vector<float> freed;
    std::lock_guard lock(mutex_);
    accepting_ = false;
    start_ = end_;
    freed.swap(ring_);
    ring_.resize(1); // keeps the modulo arithmetic defined; nothing is ever written to it
}

} // namespace quillory
