// WAV files played as a microphone: RIFF chunks, 16-bit PCM or 32-bit float, mono or stereo, any
// rate, converted to 16 kHz mono float. A bad file is refused with the backend's error; a decoded
// one has only finite samples within full scale (±1), and no more samples than the file has bytes (a header
// claiming a tiny sample rate must not blow a small file up into gigabytes).

#include "FuzzSupport.h"

#include "Speech/SpeechBackend.h"
#include "Speech/WavFileAudioSource.h"

#include <cmath>

using namespace quillory;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<float> samples;
    try {
        samples = WavFileAudioSource::decode(fuzz::bytesOf(data, size));
    } catch (const SpeechBackendError&) {
        return 0;
    }
    QUILLORY_FUZZ_CHECK(samples.size() <= size);
    for (const float s : samples) {
        QUILLORY_FUZZ_CHECK(std::isfinite(s));
        QUILLORY_FUZZ_CHECK(std::fabs(s) <= 1.0001f); // full scale, give or take the rounding
    }
    return 0;
}
