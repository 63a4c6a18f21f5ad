// API keys in the desktop's secret store: the Secret Service client against a real GNOME Keyring
// daemon on a private session bus (headless, its login keyring created and unlocked with a
// password on its standard input), and against a bus where no secret service runs.

#include "support/CoreTest.h"
#include "support/PrivateBus.h"

#include "Platform/linux/SecretService.h"
#include "Runtime/DefaultsStore.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDirIterator>
#include <QProcess>
#include <QStandardPaths>

namespace quillory::testing {
namespace {

class SecretServiceTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        busFolder_ = path(QStringLiteral("bus"));
        QDir().mkpath(busFolder_);
        bus_ = std::make_unique<PrivateBus>(busFolder_);
        ASSERT_TRUE(bus_->ok()) << "dbus-daemon did not start";
    }
    void TearDown() override {
        if (keyring_.state() != QProcess::NotRunning) {
            keyring_.terminate();
            if (!keyring_.waitForFinished(20000)) {
                keyring_.kill();
                keyring_.waitForFinished(10000);
            }
        }
        bus_.reset();
        SecretStore::install(nullptr);
        CoreTest::TearDown();
    }

    /// gnome-keyring-daemon's secrets component on the private bus, its keyrings in the temporary home.
    void startKeyring() {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon"));
        ASSERT_FALSE(daemon.isEmpty()) << "gnome-keyring-daemon is missing: scripts/deps.sh installs it";
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus_->address());
        env.insert(QStringLiteral("HOME"), path(QStringLiteral("keyring-home")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("keyring-home/data")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), busFolder_);
        env.remove(QStringLiteral("GNOME_KEYRING_CONTROL"));
        QDir().mkpath(path(QStringLiteral("keyring-home/data")));
        keyring_.setProcessEnvironment(env);
        keyring_.setProcessChannelMode(QProcess::MergedChannels);
        keyring_.start(daemon, {QStringLiteral("--unlock"), QStringLiteral("--components=secrets"),
                                QStringLiteral("--foreground")});
        ASSERT_TRUE(keyring_.waitForStarted(30000));
        keyring_.write("login password");
        keyring_.closeWriteChannel();
        ASSERT_TRUE(pumpUntil(
            [&] {
                return keyring_.state() != QProcess::Running ||
                       bus_->client().interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets"));
            },
            120000) &&
                    keyring_.state() == QProcess::Running)
            << "gnome-keyring-daemon did not come up: " << keyring_.readAll().toStdString();
    }

    /// Every file under `folder` that holds `bytes`.
    static QStringList filesHolding(const QString& folder, const QByteArray& bytes) {
        QStringList found;
        for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
            QFile file(it.next());
            if (file.open(QIODevice::ReadOnly) && file.readAll().contains(bytes)) found << file.fileName();
        }
        return found;
    }

    QString busFolder_;
    std::unique_ptr<PrivateBus> bus_;
    QProcess keyring_;
};

TEST_F(SecretServiceTest, AKeyIsStoredReplacedReadAndRemovedInTheKeyringAndNowhereInPlainText) {
    startKeyring();
    auto secrets = std::make_shared<platform::SecretServiceStore>(bus_->client());
    SecretStore::install(secrets);

    ASSERT_TRUE(secrets->read(QStringLiteral("polish-server")));
    EXPECT_FALSE(secrets->read(QStringLiteral("polish-server")).value()) << "nothing stored yet";

    DefaultsStore& settings = DefaultsStore::standard();
    const Expected<> stored = polishServerApiKey.store(settings, "sk-first-Quillory-key");
    ASSERT_TRUE(stored) << stored.error().toStdString();
    EXPECT_TRUE(polishServerApiKey.isStored(settings));
    EXPECT_EQ(polishServerApiKey.load(settings).value(), "sk-first-Quillory-key");
    // Replaced, not added beside; the other server's key is a secret of its own.
    ASSERT_TRUE(polishServerApiKey.store(settings, "sk-second-Quillory-key"));
    ASSERT_TRUE(speechServerApiKey.store(settings, "sk-speech-Quillory-key"));
    EXPECT_EQ(polishServerApiKey.load(settings).value(), "sk-second-Quillory-key");
    EXPECT_EQ(speechServerApiKey.load(settings).value(), "sk-speech-Quillory-key");

    // The keyring keeps it encrypted on disk; the settings hold only the flag.
    EXPECT_EQ(filesHolding(home_.path(), "Quillory-key"), QStringList{});

    ASSERT_TRUE(polishServerApiKey.store(settings, {}));
    EXPECT_FALSE(polishServerApiKey.isStored(settings));
    EXPECT_FALSE(secrets->read(QStringLiteral("polish-server")).value());
    EXPECT_EQ(speechServerApiKey.load(settings).value(), "sk-speech-Quillory-key");
}

TEST_F(SecretServiceTest, TheCommandLineTakesTheKeyOnStandardInputIntoTheKeyring) {
    startKeyring();
    const auto quillory = [&](const QStringList& args, const QByteArray& input, QString* err = nullptr) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus_->address());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("cli-config")));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(QUILLORY_EXECUTABLE), args);
        p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished(10000);
            return -1;
        }
        if (err) *err = QString::fromUtf8(p.readAllStandardError());
        return p.exitCode();
    };
    QString err;
    ASSERT_EQ(quillory({"settings", "api-key", "speech"}, "sk-cli-Quillory-key\n", &err), 0) << err.toStdString();
    platform::SecretServiceStore secrets(bus_->client());
    EXPECT_EQ(secrets.read(QStringLiteral("speech-server")).value(), std::optional<QByteArray>("sk-cli-Quillory-key"));
    EXPECT_EQ(filesHolding(home_.path(), "Quillory-key"), QStringList{}) << "nothing in plain text";
    QFile settings(path(QStringLiteral("cli-config/quillory/defaults.json")));
    ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
    EXPECT_TRUE(settings.readAll().contains("quillory.speech.server.apiKeyStored"));

    EXPECT_EQ(quillory({"settings", "api-key", "speech"}, "", &err), 2) << "no key given";
    ASSERT_EQ(quillory({"settings", "api-key", "speech", "remove"}, "", &err), 0) << err.toStdString();
    EXPECT_FALSE(secrets.read(QStringLiteral("speech-server")).value());
}

TEST_F(SecretServiceTest, ALockedKeyringIsNotUnlockedBehindTheUsersBackAndSaysSo) {
    startKeyring();
    platform::SecretServiceStore secrets(bus_->client());
    ASSERT_TRUE(secrets.write(QStringLiteral("speech-server"), "sk-before-lock"));

    QDBusMessage lock = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
        QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("Lock"));
    lock.setArguments({QVariant::fromValue(QList<QDBusObjectPath>{
        QDBusObjectPath(QStringLiteral("/org/freedesktop/secrets/collection/login"))})});
    const QDBusMessage locked = bus_->client().call(lock, QDBus::Block, 30000);
    ASSERT_EQ(locked.type(), QDBusMessage::ReplyMessage) << locked.errorMessage().toStdString();

    const auto read = secrets.read(QStringLiteral("speech-server"));
    ASSERT_FALSE(read);
    EXPECT_TRUE(read.error().contains(QStringLiteral("locked"))) << read.error().toStdString();
    const Expected<> write = secrets.write(QStringLiteral("polish-server"), "sk-while-locked");
    ASSERT_FALSE(write);
    EXPECT_TRUE(write.error().contains(QStringLiteral("locked"))) << write.error().toStdString();
    EXPECT_EQ(filesHolding(home_.path(), "sk-while-locked"), QStringList{});
}

TEST_F(SecretServiceTest, NoSecretServiceGivesAClearErrorAndNothingIsStored) {
    SecretStore::install(std::make_shared<platform::SecretServiceStore>(bus_->client()));
    DefaultsStore& settings = DefaultsStore::standard();
    const Expected<> stored = speechServerApiKey.store(settings, "sk-nowhere-Quillory-key");
    ASSERT_FALSE(stored);
    EXPECT_TRUE(stored.error().contains(QStringLiteral("no secret service"))) << stored.error().toStdString();
    EXPECT_FALSE(speechServerApiKey.isStored(settings));
    EXPECT_EQ(filesHolding(home_.path(), "Quillory-key"), QStringList{});

    // A key stored earlier cannot be read now: the reason, not an empty key.
    settings.setBool(QLatin1String(speechServerApiKey.flagKey), true);
    const Expected<QByteArray> loaded = speechServerApiKey.load(settings);
    ASSERT_FALSE(loaded);
    EXPECT_TRUE(loaded.error().contains(QStringLiteral("no secret service"))) << loaded.error().toStdString();
}

} // namespace
} // namespace quillory::testing
