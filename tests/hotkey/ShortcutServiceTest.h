#pragma once
// What the suites of the desktop's shortcut services share: a private dbus-daemon serving a fake
// of the service, the backend under test on its client side, and the actions the backend calls
// recorded as "toggle", "press" and "release".

#include "support/CoreTest.h"
#include "support/PrivateBus.h"

#include <QDBusMessage>
#include <QStringList>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

namespace quillory::testing {

/// `FakeService` is a QDBusVirtualObject with a `mutex` guarding what the tests read of it.
template <typename Backend, typename FakeService> class ShortcutServiceTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        bus_ = std::make_unique<PrivateBus>(home_.path());
        ASSERT_TRUE(bus_->ok()) << "no private dbus-daemon";
        fake_ = std::make_unique<FakeService>();
    }
    void TearDown() override {
        backend_.reset();
        bus_.reset();
        fake_.reset();
        CoreTest::TearDown();
    }

    bool serveAs(const QString& name, const QString& path) { return bus_->serve(fake_.get(), name, path); }
    typename Backend::Options options() const {
        typename Backend::Options options;
        options.bus = bus_->client();
        return options;
    }
    typename Backend::Actions recordedActions() {
        return {[this] { events_ << "toggle"; }, [this] { events_ << "press"; }, [this] { events_ << "release"; }};
    }
    /// Sends `signal` from the fake's connection.
    void send(const QDBusMessage& signal) {
        bus_->onServiceThread([&] { PrivateBus::serviceConnection().send(signal); });
    }
    /// Runs `read` on the fake under its lock.
    template <typename Read> auto withFake(Read read) {
        std::lock_guard lock(fake_->mutex);
        return read(*fake_);
    }
    /// Waits for `count` events (signals arrive through the bus).
    bool eventsReach(int count) {
        return pumpUntil([&] { return events_.size() >= count; });
    }
    /// Lets signals still on their way arrive, to see that they call nothing more.
    static void settle() { pumpUntil([] { return false; }, 200); }

    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<FakeService> fake_;
    std::unique_ptr<Backend> backend_;
    QStringList events_;
};

} // namespace quillory::testing
