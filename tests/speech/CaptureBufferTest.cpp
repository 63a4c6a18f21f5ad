#include "Speech/CaptureBuffer.h"

#include <gtest/gtest.h>

#include <numeric>

namespace quillory {
namespace {

std::vector<float> counting(qint64 from, qint64 n) {
    std::vector<float> v(static_cast<std::size_t>(n));
    std::iota(v.begin(), v.end(), static_cast<float>(from));
    return v;
}

TEST(CaptureBufferTest, KeepsWhatIsNotDiscardedAcrossWrapsAndGrowthAndDropsOnlyWhenFull) {
    CaptureBuffer buffer(10);
    std::vector<float> out;
    qint64 written = 0;
    const auto write = [&](qint64 n) {
        EXPECT_TRUE(buffer.append(counting(written, n)));
        written += n;
    };
    write(7);
    buffer.discardBefore(5);
    write(6); // wraps
    EXPECT_EQ(buffer.start(), 5);
    EXPECT_EQ(buffer.end(), 13);
    EXPECT_EQ(buffer.read(0, out), 5) << "older audio is gone: reading starts at the oldest kept";
    EXPECT_EQ(out, counting(5, 8));
    EXPECT_EQ(buffer.read(9, out), 9);
    EXPECT_EQ(out, counting(9, 4));

    // Growing keeps every sample at its position.
    buffer.reserve(6);
    EXPECT_GE(buffer.capacity(), 8 + 12);
    write(9);
    EXPECT_EQ(buffer.read(5, out), 5);
    EXPECT_EQ(out, counting(5, 17));
    buffer.reserve(1);
    EXPECT_EQ(buffer.capacity(), 20) << "enough room: no growth";

    // Full: the rest of a buffer is dropped and counted, never written over kept audio.
    write(10);
    EXPECT_EQ(buffer.held(), 20);
    EXPECT_EQ(buffer.dropped(), 7);
    EXPECT_EQ(buffer.read(0, out), 5);
    EXPECT_EQ(out, counting(5, 20));

    // Closed: kept audio stays readable, nothing more comes in; released: all of it is gone.
    buffer.close();
    EXPECT_FALSE(buffer.append(counting(0, 3)));
    EXPECT_EQ(buffer.held(), 20);
    buffer.release();
    EXPECT_FALSE(buffer.append(counting(0, 3)));
    EXPECT_EQ(buffer.held(), 0);
    EXPECT_LE(buffer.capacity(), 1);
    EXPECT_EQ(buffer.read(0, out), 25);
    EXPECT_TRUE(out.empty());
}

} // namespace
} // namespace quillory
