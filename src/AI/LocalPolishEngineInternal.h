#pragma once

// Helpers shared by the files of LocalPolishEngine (not part of its interface).

#include "Runtime/Async.h"
#include "Runtime/FileDownload.h"

#include <QByteArray>
#include <QString>

class QNetworkReply;

namespace quillory::polish_detail {

using quillory::replyFinished;

/// The text as UTF-8, or empty when it isn't valid UTF-8.
QString strictUtf8(const QByteArray& bytes);

} // namespace quillory::polish_detail
