#include "Runtime/ServerRequest.h"

#include "Runtime/DefaultsStore.h"
#include "Runtime/FileDownload.h"
#include "Runtime/SecretStore.h"

#include <QHostAddress>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace quillory {

void ServerConnection::read(const DefaultsStore& store, const ServerSettingKeys& keys) {
    useServer = store.stringValue(QLatin1String(keys.engine)).value_or(QString()) == QLatin1String("server");
    url = QUrl(store.stringValue(QLatin1String(keys.url)).value_or(QString()).trimmed());
    if (const auto m = store.stringValue(QLatin1String(keys.model)); m && !m->trimmed().isEmpty()) {
        model = m->trimmed();
    }
    privateConfirmed = store.boolValue(QLatin1String(keys.privateConfirmed)).value_or(false);
    if (const auto t = store.doubleValue(QLatin1String(keys.timeout)); t && std::isfinite(*t)) {
        timeout = seconds(std::clamp(*t, 1.0, keys.maxTimeoutSeconds));
    }
    if (useServer) {
        Expected<QByteArray> key = keys.apiKey.load(store);
        if (key) {
            accessToken = std::move(key).value();
        } else {
            accessTokenProblem = key.error();
        }
    }
}

bool isOnThisComputer(const QUrl& url) {
    return url.host().compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
           QHostAddress(url.host()).isLoopback();
}

QString remoteServerUrlProblem(const QUrl& url, bool privateConfirmed) {
    if (url.isEmpty()) {
        return QStringLiteral("No server address is set.");
    }
    if (!url.isValid() || url.host().isEmpty()) {
        return QStringLiteral("The server address is not a valid URL.");
    }
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https")) {
        return {};
    }
    if (scheme != QLatin1String("http")) {
        return QStringLiteral("The server address must start with http:// or https://.");
    }
    if (isOnThisComputer(url)) {
        return {};
    }
    const QHostAddress address(url.host());
    if (address.isNull()) {
        return QStringLiteral("Plain http is used only for addresses on this computer or a private network; "
                              "use https:// for %1.")
            .arg(url.host());
    }
    const bool isPrivate = address.isInSubnet(QHostAddress::parseSubnet(QStringLiteral("10.0.0.0/8"))) ||
                           address.isInSubnet(QHostAddress::parseSubnet(QStringLiteral("172.16.0.0/12"))) ||
                           address.isInSubnet(QHostAddress::parseSubnet(QStringLiteral("192.168.0.0/16"))) ||
                           address.isInSubnet(QHostAddress::parseSubnet(QStringLiteral("fc00::/7"))) ||
                           address.isLinkLocal();
    if (!isPrivate) {
        return QStringLiteral("Plain http is used only for addresses on this computer or a private network; "
                              "use https:// for %1.")
            .arg(url.host());
    }
    if (!privateConfirmed) {
        return QStringLiteral("%1 is a private network address reached over plain http; confirm it in the "
                              "settings (or use https://).")
            .arg(url.host());
    }
    return {};
}

QUrl remoteServerEndpoint(const QUrl& base, const QString& path) {
    QUrl url = base;
    QString joined = url.path();
    while (joined.endsWith(QLatin1Char('/'))) {
        joined.chop(1);
    }
    joined += path.startsWith(QLatin1Char('/')) ? path : QLatin1Char('/') + path;
    url.setPath(joined);
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

std::unique_ptr<QNetworkAccessManager> makeServerNetworkManager() {
    auto manager = std::make_unique<QNetworkAccessManager>();
    // Certificates are verified by Qt's defaults; nothing here relaxes them.
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    manager->setAutoDeleteReplies(false);
    return manager;
}

std::shared_ptr<bool> abortAnswersLargerThan(QNetworkReply* reply, qint64 maxBytes) {
    auto tooLarge = std::make_shared<bool>(false);
    QPointer<QNetworkReply> guard(reply);
    const auto checkSize = [guard, tooLarge, maxBytes] {
        if (!guard || guard->isFinished()) {
            return;
        }
        const QVariant length = guard->header(QNetworkRequest::ContentLengthHeader);
        if ((length.isValid() && length.toLongLong() > maxBytes) || guard->bytesAvailable() > maxBytes) {
            *tooLarge = true;
            guard->abort();
        }
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, checkSize);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, checkSize);
    return tooLarge;
}

Task<ServerReply> postToServer(QNetworkAccessManager& manager, QNetworkRequest request, QByteArray body,
                               QHttpMultiPart* form, Duration timeout, qint64 maxBytes,
                               CancellationToken cancel) {
    ServerReply result;
    const QString where = request.url().host();
    if (cancel.isCancelled()) {
        delete form;
        result.cancelled = true;
        result.failure = QStringLiteral("cancelled");
        co_return result;
    }
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = form ? manager.post(request, form) : manager.post(request, body);
    if (form) {
        form->setParent(reply);
    }
    QPointer<QNetworkReply> guard(reply);

    const auto tooLarge = abortAnswersLargerThan(reply, maxBytes);
    auto timedOut = std::make_shared<bool>(false);
    Timer limit = Timer::once(timeout, [guard, timedOut] {
        if (guard && !guard->isFinished()) {
            *timedOut = true;
            guard->abort();
        }
    });
    co_await replyFinished(reply, cancel);
    limit.stop();
    reply->deleteLater();

    if (cancel.isCancelled()) {
        result.cancelled = true;
        result.failure = QStringLiteral("cancelled");
        co_return result;
    }
    if (*timedOut) {
        result.timedOut = true;
        result.failure = QStringLiteral("%1 did not answer within %2 s")
                             .arg(where)
                             .arg(std::chrono::duration<double>(timeout).count());
        co_return result;
    }
    if (*tooLarge) {
        result.failure = QStringLiteral("%1 answered more than %2 bytes").arg(where).arg(maxBytes);
        co_return result;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // A connection that broke before the whole answer arrived is a transport failure, even
    // though a status line came: the body is incomplete.
    const bool broken = reply->error() > QNetworkReply::NoError &&
                        reply->error() < QNetworkReply::ProxyConnectionRefusedError;
    if (!status.isValid() || broken) {
        result.failure = QStringLiteral("%1: %2").arg(where, reply->errorString());
        co_return result;
    }
    result.body = reply->read(maxBytes + 1);
    if (result.body.size() > maxBytes) {
        result.body.clear();
        result.failure = QStringLiteral("%1 answered more than %2 bytes").arg(where).arg(maxBytes);
        co_return result;
    }
    result.status = status.toInt();
    co_return result;
}

} // namespace quillory
