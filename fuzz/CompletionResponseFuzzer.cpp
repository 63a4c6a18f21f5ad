// A completion reply of the local server and the clean-up of its text. The reply is decoded as
// the engine decodes it (a JSON object whose "content" is a string); the text — or, when the
// reply is not such an object, the raw bytes as text — goes through every clean-up function.
// The clean-ups only remove: their results are never longer than their input.

#include "FuzzSupport.h"

#include "AI/PolishModel.h"
#include "AI/PolishText.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace quillory;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray body = fuzz::bytesOf(data, size);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    QString text;
    if (error.error == QJsonParseError::NoError && document.isObject() &&
        document.object().value(QLatin1String("content")).isString()) {
        text = document.object().value(QLatin1String("content")).toString();
    } else {
        text = QString::fromUtf8(body);
    }

    const QString stripped = PolishText::stripReasoningBlocks(text);
    QUILLORY_FUZZ_CHECK(stripped.size() <= text.size());
    const QString cleaned = PolishText::clean(text);
    QUILLORY_FUZZ_CHECK(cleaned.size() <= text.size());
    for (const PolishModel model : PolishModels::allCases) {
        const QString chat = PolishText::cleanChatOutput(text, model);
        QUILLORY_FUZZ_CHECK(chat.size() <= text.size());
    }
    return 0;
}
