#pragma once

// Helpers shared by the files of LocalPolishEngine (not part of its interface).

#include "Runtime/Async.h"

#include <QByteArray>
#include <QString>

class QNetworkReply;

namespace quillory::polish_detail {

/// Waits until the reply has finished; a cancellation aborts it, from the loop rather than from
/// inside whoever cancelled.
Task<> replyFinished(QNetworkReply* reply, CancellationToken cancel);

/// The text as UTF-8, or empty when it isn't valid UTF-8.
QString strictUtf8(const QByteArray& bytes);

} // namespace quillory::polish_detail
