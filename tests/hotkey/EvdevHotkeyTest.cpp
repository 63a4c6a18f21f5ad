// The evdev hotkey backend on recorded `struct input_event` streams: fake keyboards are pipes the
// test writes the kernel's events into, listed in a fake device folder.
#include "Hotkey/GlobalHotKeyManager.h"
#include "Hotkey/HotkeyConfig.h"
#include "Hotkey/evdev/EvdevHotkeyBackend.h"
#include "support/CoreTest.h"

#include <QTemporaryDir>

#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

using namespace quillory;
using namespace quillory::platform;
using quillory::testing::CoreTest;

namespace {

/// A device folder whose devices are pipes.
class FakeEvdev final : public EvdevDevices {
public:
    struct Pipe {
        int readFd = -1;
        int writeFd = -1;
        bool keyboard = true;
        bool synthetic = false;
        bool refused = false;
        std::set<int> down; ///< what EVIOCGKEY reports (evdev codes)
    };
    std::map<QString, Pipe> pipes;
    int closes = 0;

    explicit FakeEvdev(QString folder) : folder_(std::move(folder)) {}
    ~FakeEvdev() override {
        for (auto& [name, p] : pipes) {
            if (p.writeFd >= 0) {
                ::close(p.writeFd);
            }
            ::close(p.readFd);
        }
    }
    Pipe& add(const QString& name) {
        Pipe& p = pipes[name];
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        p.readFd = fds[0];
        p.writeFd = fds[1];
        return p;
    }

    QString directory() const override { return folder_; }
    QStringList list() override {
        QStringList names;
        for (const auto& [name, p] : pipes) {
            names << name;
        }
        return names;
    }
    std::optional<Device> open(const QString& name) override {
        const auto it = pipes.find(name);
        if (it == pipes.end() || it->second.refused) {
            return std::nullopt;
        }
        // Each open is a descriptor of its own, as with open(2).
        const int fd = ::fcntl(it->second.readFd, F_DUPFD_CLOEXEC, 0);
        opened_[fd] = name;
        return Device{fd, it->second.keyboard, it->second.synthetic, name};
    }
    std::optional<std::set<int>> keysDown(int fd) override {
        const auto it = opened_.find(fd);
        if (it == opened_.end()) {
            return std::nullopt;
        }
        return pipes.at(it->second).down;
    }
    void close(int fd) override {
        ++closes;
        opened_.erase(fd);
        ::close(fd);
    }

private:
    QString folder_;
    std::map<int, QString> opened_;
};

/// The kernel's record of one event.
void send(const FakeEvdev::Pipe& p, int type, int code, int value) {
    input_event e{};
    e.type = quint16(type);
    e.code = quint16(code);
    e.value = value;
    ASSERT_EQ(::write(p.writeFd, &e, sizeof e), ssize_t(sizeof e));
}
void key(const FakeEvdev::Pipe& p, int code, int value) {
    send(p, EV_KEY, code, value);
    send(p, EV_SYN, SYN_REPORT, 0);
}

class EvdevHotkey : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        auto devices = std::make_unique<FakeEvdev>(folder_.path());
        fake_ = devices.get();
        keyboard_ = &fake_->add("event3");
        fake_->add("event4").keyboard = false;      // a mouse
        fake_->add("event5").synthetic = true;      // our own uinput paste key
        fake_->add("event6").refused = true;        // not readable for this user
        QString error;
        backend_ = EvdevHotkeyBackend::open(ModifierKeyMap::defaults(), std::move(devices), &error);
        ASSERT_TRUE(backend_) << error.toStdString();
    }
    void TearDown() override {
        manager_.reset();
        backend_.reset();
        CoreTest::TearDown();
    }
    void startManager() {
        manager_ = std::make_unique<GlobalHotKeyManager>(backend_->platform());
        ASSERT_TRUE(manager_->update(
            HotkeyConfig::factoryDefaults(), [this] { events_ << "toggle"; }, [this] { events_ << "press"; },
            [this] { events_ << "release"; }));
    }
    /// What the notifier does when the pipe becomes readable, then the main loop's turns.
    void deliver(const QString& name) {
        for (const int fd : backend_->deviceDescriptors(name)) {
            backend_->readDevice(fd);
        }
        for (int i = 0; i < 20; ++i) {
            clock_.runPending();
        }
    }

    QTemporaryDir folder_;
    FakeEvdev* fake_ = nullptr;
    FakeEvdev::Pipe* keyboard_ = nullptr;
    std::unique_ptr<EvdevHotkeyBackend> backend_;
    std::unique_ptr<GlobalHotKeyManager> manager_;
    QStringList events_;
};

} // namespace

TEST_F(EvdevHotkey, OnlyKeyboardsOfPeopleAreRead) {
    EXPECT_EQ(backend_->openDevices(), QStringList{"event3"});
    EXPECT_EQ(fake_->closes, 2); // the mouse and the virtual keyboard were opened, asked and closed
    backend_->rescan(); // the folder changed: nothing new is read, and nothing is asked again
    EXPECT_EQ(backend_->openDevices(), QStringList{"event3"});
    EXPECT_EQ(fake_->closes, 2);
    // A folder with nothing readable: no backend, and the reason.
    QTemporaryDir empty;
    QString error;
    auto refused = std::make_unique<FakeEvdev>(empty.path());
    refused->add("event0").refused = true;
    EXPECT_EQ(EvdevHotkeyBackend::open(ModifierKeyMap::defaults(), std::move(refused), &error), nullptr);
    EXPECT_TRUE(error.startsWith("no keyboard under")) << error.toStdString();
    // A registered hot key cannot be grabbed through evdev.
    EXPECT_NE(backend_->registerHotKey(0, 0), 0);
}

TEST_F(EvdevHotkey, ADoubleTapOfTheDictationKeyTogglesThroughTheManager) {
    startManager();
    // Right Ctrl (the default dictation key) twice, written at once: a tap is still a press
    // followed by a release, one per turn; auto-repeats are no taps.
    key(*keyboard_, KEY_RIGHTCTRL, 1);
    key(*keyboard_, KEY_RIGHTCTRL, 2);
    key(*keyboard_, KEY_RIGHTCTRL, 0);
    key(*keyboard_, KEY_RIGHTCTRL, 1);
    key(*keyboard_, KEY_RIGHTCTRL, 0);
    deliver("event3");
    EXPECT_EQ(events_, QStringList{"toggle"});
    EXPECT_FALSE(backend_->isKeyDown(KeyStateSource::devices, HotkeyKeys::rightCommand));

    // Ctrl as part of a shortcut (Right Ctrl + C) is no tap.
    events_.clear();
    key(*keyboard_, KEY_RIGHTCTRL, 1);
    key(*keyboard_, KEY_C, 1);
    key(*keyboard_, KEY_C, 0);
    key(*keyboard_, KEY_RIGHTCTRL, 0);
    key(*keyboard_, KEY_RIGHTCTRL, 1);
    key(*keyboard_, KEY_RIGHTCTRL, 0);
    deliver("event3");
    EXPECT_TRUE(events_.isEmpty()) << events_.join(",").toStdString();
}

TEST_F(EvdevHotkey, KeyStatesFollowTheEventsHandedOnAndTheKernelAfterADrop) {
    ASSERT_TRUE(backend_->start([](const ModifierChange&) {}, nullptr));
    std::vector<ModifierChange> changes;
    backend_->stop();
    ASSERT_TRUE(backend_->start([&](const ModifierChange& c) { changes.push_back(c); }, nullptr));
    key(*keyboard_, KEY_RIGHTCTRL, 1);
    backend_->readDevice(backend_->deviceDescriptors("event3").value(0));
    // Read but not handed on yet: the state is as of the last event handed on.
    EXPECT_FALSE(backend_->isKeyDown(KeyStateSource::devices, HotkeyKeys::rightCommand));
    clock_.runPending();
    EXPECT_TRUE(backend_->isKeyDown(KeyStateSource::devices, HotkeyKeys::rightCommand));
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].keyCode, HotkeyKeys::rightCommand);
    EXPECT_EQ(changes[0].flags, HotkeyKeys::commandFlag);

    // The kernel's buffer overflowed: the release was lost; EVIOCGKEY says the key is up.
    keyboard_->down = {};
    send(*keyboard_, EV_SYN, SYN_DROPPED, 0);
    deliver("event3");
    EXPECT_FALSE(backend_->isKeyDown(KeyStateSource::devices, HotkeyKeys::rightCommand));
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[1].flags, 0u);

    // Another key while Right Ctrl is held: an "other key" event with the modifiers held.
    key(*keyboard_, KEY_RIGHTCTRL, 1);
    key(*keyboard_, KEY_A, 1);
    deliver("event3");
    ASSERT_EQ(changes.size(), 4u);
    EXPECT_TRUE(changes[3].otherKey);
    EXPECT_EQ(changes[3].flags, HotkeyKeys::commandFlag);
}

TEST_F(EvdevHotkey, KeyboardsComeAndGo) {
    std::vector<ModifierChange> changes;
    ASSERT_TRUE(backend_->start([&](const ModifierChange& c) { changes.push_back(c); }, nullptr));
    // Plugged in later (inotify tells the backend to look again): read from then on.
    FakeEvdev::Pipe& second = fake_->add("event7");
    backend_->rescan();
    EXPECT_EQ(backend_->openDevices(), (QStringList{"event3", "event7"}));
    key(second, KEY_RIGHTCTRL, 1);
    deliver("event7");
    EXPECT_TRUE(backend_->isKeyDown(KeyStateSource::devices, HotkeyKeys::rightCommand));

    // Unplugged while the key is held: the device is closed and its key counts as released.
    ::close(second.writeFd);
    second.writeFd = -1;
    deliver("event7");
    EXPECT_EQ(backend_->openDevices(), QStringList{"event3"});
    EXPECT_FALSE(backend_->isKeyDown(KeyStateSource::devices, HotkeyKeys::rightCommand));
    EXPECT_EQ(changes.back().keyCode, HotkeyKeys::rightCommand);
    EXPECT_EQ(changes.back().flags, 0u);
}
