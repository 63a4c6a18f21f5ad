#pragma once

// What the benchmarks that need a desktop share: running inside a private one
// (scripts/desktop-session.sh, whose path the target defines as QUILLORY_DESKTOP_SESSION_SCRIPT),
// and feeding its pipe microphone at the speed of speech.

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace quillory::bench {

/// Returns at once inside a private desktop; elsewhere runs this program again inside one started
/// by `script` (desktop-session.sh or wayland-session.sh, with the script's `options`) and never
/// returns.
inline void enterSession(const char* script, int argc, char** argv, std::initializer_list<const char*> options) {
    if (!qEnvironmentVariableIsEmpty("QUILLORY_DESKTOP_SESSION")) {
        return;
    }
    std::fflush(stdout);
    static char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::perror("readlink");
        std::exit(1);
    }
    self[n] = '\0';
    std::vector<char*> args{const_cast<char*>(script)};
    for (const char* option : options) {
        args.push_back(const_cast<char*>(option));
    }
    args.push_back(const_cast<char*>("--"));
    args.push_back(self);
    for (int i = 1; i < argc; ++i) {
        args.push_back(argv[i]);
    }
    args.push_back(nullptr);
    ::execv(script, args.data());
    std::fprintf(stderr, "cannot start the private desktop (%s): %s\n", script, std::strerror(errno));
    std::exit(1);
}

#ifdef QUILLORY_DESKTOP_SESSION_SCRIPT
/// `enterSession` with the X11 desktop (scripts/desktop-session.sh), e.g. "--no-pulse", "--no-tray".
inline void enterPrivateDesktop(int argc, char** argv, std::initializer_list<const char*> options) {
    enterSession(QUILLORY_DESKTOP_SESSION_SCRIPT, argc, argv, options);
}
#endif

/// Feeds the private desktop's pipe microphone (QUILLORY_TEST_PIPE_SOURCE) at real time, 320 samples
/// (20 ms) a block, each block filled by `fill(block, index)`, until destroyed.
class PipeMicrophoneFeeder {
public:
    using Fill = std::function<void(std::vector<float>& block, std::size_t index)>;

    explicit PipeMicrophoneFeeder(Fill fill) {
        thread_ = std::thread([this, fill = std::move(fill)] {
            // Non-blocking: a suspended source stops reading, and that must not stall the feeder.
            const int fd =
                ::open(qgetenv("QUILLORY_TEST_PIPE_SOURCE").constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                return;
            }
            std::vector<float> block(320);
            auto next = std::chrono::steady_clock::now();
            for (std::size_t n = 0; !stop_; ++n) {
                fill(block, n);
                if (::write(fd, block.data(), block.size() * sizeof(float)) < 0 && errno != EAGAIN) {
                    break;
                }
                next += std::chrono::milliseconds(20);
                std::this_thread::sleep_until(next);
            }
            ::close(fd);
        });
    }
    ~PipeMicrophoneFeeder() {
        stop_ = true;
        thread_.join();
    }
    PipeMicrophoneFeeder(const PipeMicrophoneFeeder&) = delete;
    PipeMicrophoneFeeder& operator=(const PipeMicrophoneFeeder&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace quillory::bench
