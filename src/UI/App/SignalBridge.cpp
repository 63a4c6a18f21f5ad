#include "UI/App/SignalBridge.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace quillory::ui {

namespace {
int gPipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void onSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(gPipe[1], &byte, 1);
    errno = saved;
}
} // namespace

SignalBridge::SignalBridge(QObject* parent) : QObject(parent) {
    if (gPipe[0] >= 0 || ::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(gPipe[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &SignalBridge::readPipe);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : kSignals) {
        ::sigaction(s, &action, nullptr);
    }
}

SignalBridge::~SignalBridge() {
    if (!notifier_) {
        return;
    }
    for (int s : kSignals) {
        ::signal(s, SIG_DFL);
    }
    notifier_.reset();
    ::close(gPipe[0]);
    ::close(gPipe[1]);
    gPipe[0] = gPipe[1] = -1;
}

void SignalBridge::readPipe() {
    unsigned char bytes[16];
    ssize_t n;
    while ((n = ::read(gPipe[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            emit terminationRequested(bytes[i]);
        }
    }
}

} // namespace quillory::ui
