#include "UI/Updates/UpdateChecker.h"

#include "Runtime/Localization.h"
#include "Runtime/Log.h"

#include <QHostAddress>
#include <QNetworkReply>
#include <QXmlStreamReader>

namespace quillory::ui {

QString compiledFeedUrl() {
    return QStringLiteral(QUILLORY_UPDATE_FEED_URL);
}

std::optional<QUrl> resolvedFeedUrl(const QString& feed) {
    const QUrl url(feed, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        return std::nullopt;
    }
    const QString host = url.host().toLower();
    if (host == QLatin1String("invalid") || host.endsWith(QLatin1String(".invalid"))) {
        return std::nullopt;
    }
    const QHostAddress address(host);
    const bool loopback = host == QLatin1String("localhost") || (!address.isNull() && address.isLoopback());
    if (url.scheme() != QLatin1String("https") && !(loopback && url.scheme() == QLatin1String("http"))) {
        return std::nullopt;
    }
    return url;
}

int compareVersions(const QString& a, const QString& b) {
    const QStringList pa = a.trimmed().split(QLatin1Char('.'));
    const QStringList pb = b.trimmed().split(QLatin1Char('.'));
    for (qsizetype i = 0; i < std::max(pa.size(), pb.size()); ++i) {
        const QString x = i < pa.size() ? pa[i] : QStringLiteral("0");
        const QString y = i < pb.size() ? pb[i] : QStringLiteral("0");
        // numeric prefix, then the rest as text
        auto split = [](const QString& s) {
            qsizetype n = 0;
            while (n < s.size() && s[n].isDigit()) ++n;
            return std::pair{s.left(n).isEmpty() ? -1LL : s.left(n).toLongLong(), s.mid(n)};
        };
        const auto [nx, rx] = split(x);
        const auto [ny, ry] = split(y);
        if (nx != ny) return nx < ny ? -1 : 1;
        if (const int c = QString::compare(rx, ry); c != 0) return c < 0 ? -1 : 1;
    }
    return 0;
}

std::optional<AppcastRelease> newestRelease(const QByteArray& xml, QString* error) {
    QXmlStreamReader reader(xml);
    std::optional<AppcastRelease> best;
    std::optional<AppcastRelease> item;
    bool sawChannel = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            const auto name = reader.name();
            if (name == QLatin1String("channel")) {
                sawChannel = true;
            } else if (name == QLatin1String("item")) {
                item = AppcastRelease{};
            } else if (item) {
                if (name == QLatin1String("enclosure")) {
                    for (const auto& attribute : reader.attributes()) {
                        if (attribute.name() == QLatin1String("url")) {
                            item->downloadUrl = QUrl(attribute.value().toString());
                        } else if (attribute.name() == QLatin1String("version") && item->version.isEmpty()) {
                            item->version = attribute.value().toString().trimmed();
                        } else if (attribute.name() == QLatin1String("shortVersionString") &&
                                   item->displayVersion.isEmpty()) {
                            item->displayVersion = attribute.value().toString().trimmed();
                        }
                    }
                } else if (name == QLatin1String("version")) {
                    item->version = reader.readElementText().trimmed();
                } else if (name == QLatin1String("shortVersionString")) {
                    item->displayVersion = reader.readElementText().trimmed();
                } else if (name == QLatin1String("title")) {
                    item->title = reader.readElementText().trimmed();
                } else if (name == QLatin1String("link") && item->downloadUrl.isEmpty()) {
                    item->downloadUrl = QUrl(reader.readElementText().trimmed());
                }
            }
        } else if (reader.isEndElement() && reader.name() == QLatin1String("item") && item) {
            const bool usable = !item->version.isEmpty() && item->downloadUrl.isValid() &&
                                (item->downloadUrl.scheme() == QLatin1String("https") ||
                                 item->downloadUrl.scheme() == QLatin1String("http"));
            if (usable) {
                if (item->displayVersion.isEmpty()) item->displayVersion = item->version;
                if (!best || compareVersions(item->version, best->version) > 0) best = item;
            }
            item.reset();
        }
    }
    if (reader.hasError()) {
        if (error) *error = QStringLiteral("the update feed is not readable XML: %1").arg(reader.errorString());
        return std::nullopt;
    }
    if (!sawChannel) {
        if (error) *error = QStringLiteral("the update feed has no channel");
        return std::nullopt;
    }
    if (!best && error) {
        *error = QStringLiteral("the update feed lists no release with a version and a download");
    }
    return best;
}

QString describeUpdateFailure(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return Localization::text("update.error.refused");
    case QNetworkReply::HostNotFoundError:
        return Localization::text("update.error.host_not_found");
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        return Localization::text("update.error.timeout");
    case QNetworkReply::SslHandshakeFailedError:
        return Localization::text("update.error.tls");
    default:
        return Localization::text("update.error.network");
    }
}

UpdateChecker::UpdateChecker(QString feed, QString currentVersion, QObject* parent)
    : QObject(parent), feed_(resolvedFeedUrl(feed)), currentVersion_(std::move(currentVersion)) {
    network_.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

bool UpdateChecker::hasFeed() const {
    return feed_.has_value();
}

bool UpdateChecker::checking() const {
    return busy_;
}

bool UpdateChecker::canCheckForUpdates() const {
    return feed_.has_value() && !busy_;
}

bool UpdateChecker::mayPerformCheck(CheckKind kind) {
    if (kind == CheckKind::background) {
        ++refused_;
        qCDebug(lcSparkle, "Skipping Sparkle background update check (manual menu check still allowed)");
        return false;
    }
    return true;
}

void UpdateChecker::startBackgroundSchedule() {
    background_ = Timer::once(kFirstBackgroundCheck, [this] {
        backgroundAttempt();
        background_ = Timer::repeating(kBackgroundInterval, [this] { backgroundAttempt(); });
    });
}

void UpdateChecker::backgroundAttempt() {
    if (!mayPerformCheck(CheckKind::background)) {
        return;
    }
    checkForUpdates();
}

void UpdateChecker::setBusy(bool busy) {
    const bool before = canCheckForUpdates();
    busy_ = busy;
    if (canCheckForUpdates() != before) {
        emit canCheckForUpdatesChanged(canCheckForUpdates());
    }
}

void UpdateChecker::checkForUpdates() {
    if (!canCheckForUpdates() || !mayPerformCheck(CheckKind::userInitiated)) {
        return;
    }
    setBusy(true);
    QNetworkRequest request(*feed_);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Quillory/%1").arg(currentVersion_));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    reply_ = network_.get(request);
    timeout_ = Timer::once(kTimeout, [this] {
        if (reply_) {
            reply_->setProperty("timedOut", true);
            reply_->abort();
        }
    });
    connect(reply_, &QNetworkReply::finished, this, [this, reply = reply_] {
        timeout_ = Timer();
        reply->deleteLater();
        Result result;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->property("timedOut").toBool()) {
            result.error = Localization::text("update.error.timeout");
        } else if (status != 0 && status != 200) {
            result.error = Localization::format("update.error.http", QString::number(status));
        } else if (reply->error() != QNetworkReply::NoError) {
            // Qt's own sentence is English and technical: it goes to the log, the user reads ours.
            qCWarning(lcSparkle, "Update check failed: %s", qUtf8Printable(reply->errorString()));
            result.error = describeUpdateFailure(reply->error());
        } else {
            QString error;
            const auto release = newestRelease(reply->readAll(), &error);
            if (!release) {
                qCWarning(lcSparkle, "Update feed unusable: %s", qUtf8Printable(error));
                result.error = Localization::text("update.error.feed");
            } else {
                result.release = *release;
                result.outcome = compareVersions(release->version, currentVersion_) > 0
                                     ? Result::Outcome::updateAvailable
                                     : Result::Outcome::upToDate;
            }
        }
        finish(std::move(result));
    });
}

void UpdateChecker::finish(Result result) {
    setBusy(false);
    emit finished(result);
}

} // namespace quillory::ui
