#pragma once

#include "Runtime/Scheduler.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <optional>

namespace quillory::ui {

/// The feed address compiled into this build.
QString compiledFeedUrl();
/// The feed address when it is usable: it parses, has a host, and that host is not the
/// placeholder of builds without a feed (any name under ".invalid"). It must be https, except on
/// a loopback host (local testing).
std::optional<QUrl> resolvedFeedUrl(const QString& feed);

/// Compares dotted version strings numerically ("1.10" > "1.9", "1.2" == "1.2.0"); a part that is
/// not a number compares after the numeric prefix as text. Negative, zero or positive.
int compareVersions(const QString& a, const QString& b);

/// The newest release of an appcast (RSS with `<item>`s carrying a version in `<…:version>`
/// or on the `<enclosure>`, a display version in `<…:shortVersionString>`, and the download in
/// the enclosure's url or the item's `<link>`).
struct AppcastRelease {
    QString version;
    QString displayVersion;
    QString title;
    QUrl downloadUrl;
};
std::optional<AppcastRelease> newestRelease(const QByteArray& xml, QString* error);

/// The user's sentence for a failed fetch of the feed (localised; Qt's own text is only logged).
QString describeUpdateFailure(QNetworkReply::NetworkError error);

/// Manual update checks against the feed, and the background schedule that the app refuses.
class UpdateChecker : public QObject {
    Q_OBJECT
public:
    enum class CheckKind { userInitiated, background };
    struct Result {
        enum class Outcome { upToDate, updateAvailable, failed } outcome = Outcome::failed;
        AppcastRelease release;
        QString error;
    };
    static constexpr Duration kBackgroundInterval = std::chrono::hours(24);
    static constexpr Duration kFirstBackgroundCheck = std::chrono::minutes(1);
    static constexpr Duration kTimeout = std::chrono::seconds(30);

    UpdateChecker(QString feed, QString currentVersion, QObject* parent = nullptr);

    /// Whether this build has a usable feed at all (without one the menu item is hidden).
    bool hasFeed() const;
    /// Whether a check is in flight.
    bool checking() const;
    /// True when a manual check may start now: a usable feed and no check in flight.
    bool canCheckForUpdates() const;
    /// Asked before every check: background checks are refused (with the log line), the user's
    /// own checks are allowed.
    bool mayPerformCheck(CheckKind kind);
    /// The user's check: fetches the feed and reports `finished`.
    void checkForUpdates();
    /// Schedules the periodic background checks (each one is asked about and refused).
    void startBackgroundSchedule();
    int refusedBackgroundChecks() const { return refused_; }

signals:
    void canCheckForUpdatesChanged(bool can);
    void finished(const quillory::ui::UpdateChecker::Result& result);

private:
    void backgroundAttempt();
    void finish(Result result);
    void setBusy(bool busy);

    std::optional<QUrl> feed_;
    QString currentVersion_;
    QNetworkAccessManager network_;
    QPointer<QNetworkReply> reply_;
    Timer timeout_;
    Timer background_;
    bool busy_ = false;
    int refused_ = 0;
};

} // namespace quillory::ui

Q_DECLARE_METATYPE(quillory::ui::UpdateChecker::Result)
