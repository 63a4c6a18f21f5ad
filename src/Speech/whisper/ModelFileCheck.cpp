#include "Speech/whisper/ModelFileCheck.h"

#include <ggml.h>

#include <QFile>
#include <QFileInfo>

#include <array>
#include <cstring>
#include <limits>
#include <optional>

namespace quillory::whisper {

namespace {

constexpr quint32 kGgmlMagic = 0x67676d6c; // "ggml", little-endian
// The smallest vocabulary of a released model (English-only); multilingual ones have 51,865+.
constexpr qint32 kMinVocabulary = 51864;

// Sequential little-endian reader that tracks the position and never reads the weights.
class Walker {
public:
    explicit Walker(QFile& file) : m_file(file), m_size(file.size()) {}

    qint64 size() const { return m_size; }
    qint64 pos() const { return m_pos; }
    bool atEnd() const { return m_pos >= m_size; }

    std::optional<qint32> i32() {
        std::array<unsigned char, 4> b{};
        if (m_pos + 4 > m_size || !m_file.seek(m_pos) || m_file.read(reinterpret_cast<char*>(b.data()), 4) != 4) {
            return std::nullopt;
        }
        m_pos += 4;
        const quint32 v = quint32(b[0]) | (quint32(b[1]) << 8) | (quint32(b[2]) << 16) | (quint32(b[3]) << 24);
        qint32 out;
        std::memcpy(&out, &v, sizeof out);
        return out;
    }

    std::optional<QByteArray> bytes(qint64 n) {
        if (n < 0 || m_pos + n > m_size || !m_file.seek(m_pos)) {
            return std::nullopt;
        }
        QByteArray data = m_file.read(n);
        if (data.size() != n) {
            return std::nullopt;
        }
        m_pos += n;
        return data;
    }

    bool skip(qint64 n) {
        if (n < 0 || m_pos + n > m_size) {
            return false;
        }
        m_pos += n;
        return true;
    }

private:
    QFile& m_file;
    qint64 m_size;
    qint64 m_pos = 0;
};

bool fail(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
    return false;
}

bool inRange(std::optional<qint32> v, qint32 lo, qint32 hi) {
    return v && *v >= lo && *v <= hi;
}

// Opens `path` for reading; `kind` names the file in messages.
bool openModel(QFile& file, const QString& path, const QString& kind, QString* error) {
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists()) {
        return fail(error, QStringLiteral("The %1 file %2 does not exist").arg(kind, path));
    }
    if (!info.isFile()) {
        return fail(error, QStringLiteral("The %1 file %2 is not a regular file").arg(kind, path));
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return fail(error, QStringLiteral("The %1 file %2 cannot be read: %3").arg(kind, path, file.errorString()));
    }
    return true;
}

// Reads the magic at the start of a model file.
bool readMagic(Walker& w, const QString& path, const QString& kind, QString* error) {
    const auto magic = w.i32();
    if (!magic || static_cast<quint32>(*magic) != kGgmlMagic) {
        return fail(error, QStringLiteral("%1 is not a whisper.cpp %2").arg(QFileInfo(path).fileName(), kind));
    }
    return true;
}

QString truncated(const QString& kind, const QString& path) {
    return QStringLiteral("The %1 file %2 is truncated or damaged; download it again")
        .arg(kind, QFileInfo(path).fileName());
}

// Walks the tensor records to the end of the file. Each: n_dims, name length, type, dims, name,
// data. Returns the number of tensors, or nullopt (with `*error`) when a record is bad or cut off.
std::optional<int> walkTensors(Walker& w, const QString& kind, const QString& path, QString* error) {
    int count = 0;
    while (!w.atEnd()) {
        const auto nDims = w.i32();
        const auto nameLength = w.i32();
        const auto type = w.i32();
        if (!nDims || !nameLength || !type) {
            fail(error, truncated(kind, path));
            return std::nullopt;
        }
        if (*nDims < 1 || *nDims > 4 || *nameLength < 1 || *nameLength > 256 || *type < 0
            || *type >= GGML_TYPE_COUNT) {
            fail(error, QStringLiteral("The %1 file %2 is damaged (bad tensor record %3)")
                            .arg(kind, QFileInfo(path).fileName()).arg(count));
            return std::nullopt;
        }
        const auto ggmlType = static_cast<ggml_type>(*type);
        const qint64 typeSize = static_cast<qint64>(ggml_type_size(ggmlType));
        const qint64 blockSize = ggml_blck_size(ggmlType);
        if (typeSize <= 0 || blockSize <= 0) {
            fail(error, QStringLiteral("The %1 file %2 uses an unsupported tensor type %3")
                            .arg(kind, QFileInfo(path).fileName()).arg(*type));
            return std::nullopt;
        }
        qint64 elements = 1;
        for (int i = 0; i < *nDims; ++i) {
            const auto ne = w.i32();
            if (!ne) {
                fail(error, truncated(kind, path));
                return std::nullopt;
            }
            if (*ne < 1 || *ne > (1 << 24)) {
                fail(error, QStringLiteral("The %1 file %2 is damaged (bad tensor shape)")
                                .arg(kind, QFileInfo(path).fileName()));
                return std::nullopt;
            }
            elements *= *ne;
            if (elements > std::numeric_limits<qint32>::max()) {
                fail(error, QStringLiteral("The %1 file %2 is damaged (tensor too large)")
                                .arg(kind, QFileInfo(path).fileName()));
                return std::nullopt;
            }
        }
        if (elements % blockSize != 0) {
            fail(error, QStringLiteral("The %1 file %2 is damaged (bad tensor shape)")
                            .arg(kind, QFileInfo(path).fileName()));
            return std::nullopt;
        }
        if (!w.skip(*nameLength) || !w.skip(elements / blockSize * typeSize)) {
            fail(error, truncated(kind, path));
            return std::nullopt;
        }
        ++count;
    }
    return count;
}

bool checkSpeechModel(const QString& path, QString* error) {
    const QString kind = QStringLiteral("speech model");
    QFile file(path);
    if (!openModel(file, path, kind, error)) {
        return false;
    }
    const QString name = QFileInfo(path).fileName();
    Walker w(file);
    if (!readMagic(w, path, kind, error)) {
        return false;
    }
    std::array<std::optional<qint32>, 11> h;
    for (auto& v : h) {
        v = w.i32();
        if (!v) {
            return fail(error, truncated(kind, path));
        }
    }
    const auto& [nVocab, nAudioCtx, nAudioState, nAudioHead, nAudioLayer, nTextCtx, nTextState,
                 nTextHead, nTextLayer, nMels, ftype] = h;
    const bool sane = inRange(nVocab, 1, 1 << 20) && inRange(nAudioCtx, 1, 1 << 16)
        && inRange(nAudioState, 1, 1 << 15) && inRange(nAudioHead, 1, 1 << 10)
        && inRange(nAudioLayer, 1, 256) && inRange(nTextCtx, 1, 1 << 16)
        && inRange(nTextState, 1, 1 << 15) && inRange(nTextHead, 1, 1 << 10)
        && inRange(nTextLayer, 1, 256) && inRange(nMels, 1, 1024) && inRange(ftype, 0, 1 << 20)
        && *nAudioState % *nAudioHead == 0 && *nTextState % *nTextHead == 0
        && *nTextState == *nAudioState;
    if (!sane) {
        return fail(error, QStringLiteral("The speech model %1 has impossible dimensions; it is damaged "
                                          "or not a whisper.cpp model").arg(name));
    }
    if (*nVocab < kMinVocabulary) {
        return fail(error, QStringLiteral("The speech model %1 has a vocabulary of %2 tokens; whisper.cpp "
                                          "needs at least %3").arg(name).arg(*nVocab).arg(kMinVocabulary));
    }
    // The quantisation version sits in the thousands; the weight type is the rest.
    const int weightType = *ftype % 1000;
    if (weightType == GGML_FTYPE_ALL_F32) {
        return fail(error, QStringLiteral("The speech model %1 stores 32-bit weights, which this build "
                                          "cannot run; use an f16 or quantised model").arg(name));
    }
    const auto nMel = w.i32();
    const auto nFft = w.i32();
    if (!nMel || !nFft) {
        return fail(error, truncated(kind, path));
    }
    if (!inRange(nMel, 1, 1024) || !inRange(nFft, 1, 1 << 16) || !w.skip(qint64(*nMel) * *nFft * 4)) {
        return fail(error, truncated(kind, path));
    }
    const auto vocabCount = w.i32();
    if (!vocabCount) {
        return fail(error, truncated(kind, path));
    }
    if (*vocabCount < 0 || *vocabCount > *nVocab) {
        return fail(error, QStringLiteral("The speech model %1 has a damaged vocabulary").arg(name));
    }
    for (qint32 i = 0; i < *vocabCount; ++i) {
        const auto length = w.i32();
        if (!length || *length < 0 || !w.skip(*length)) {
            return fail(error, truncated(kind, path));
        }
    }
    const auto tensors = walkTensors(w, kind, path, error);
    if (!tensors) {
        return false;
    }
    // Encoder: 2 convolutions, positions and the final norm (7) + 15 per layer; decoder: token and
    // position embeddings and the final norm (4) + 24 per layer.
    const int expected = 11 + 15 * *nAudioLayer + 24 * *nTextLayer;
    if (*tensors != expected) {
        return fail(error, QStringLiteral("The speech model %1 is incomplete (%2 of %3 tensors); download it again")
                               .arg(name).arg(*tensors).arg(expected));
    }
    return true;
}

bool checkVadModel(const QString& path, QString* error, int* frameSamples) {
    const QString kind = QStringLiteral("voice activity model");
    QFile file(path);
    if (!openModel(file, path, kind, error)) {
        return false;
    }
    const QString name = QFileInfo(path).fileName();
    Walker w(file);
    if (!readMagic(w, path, kind, error)) {
        return false;
    }
    const auto typeLength = w.i32();
    if (!inRange(typeLength, 1, 256)) {
        return fail(error, typeLength ? QStringLiteral("%1 is not a whisper.cpp voice activity model").arg(name)
                                      : truncated(kind, path));
    }
    const auto type = w.bytes(*typeLength);
    if (!type) {
        return fail(error, truncated(kind, path));
    }
    if (!type->startsWith("silero")) {
        return fail(error, QStringLiteral("%1 is a \"%2\" model; only Silero voice activity models are supported")
                               .arg(name, QString::fromUtf8(*type)));
    }
    // version (3), window, context, encoder layer count, 4 x (in, out, kernel), LSTM in/hidden,
    // final convolution in/out.
    std::array<std::optional<qint32>, 22> h;
    for (auto& v : h) {
        v = w.i32();
        if (!v) {
            return fail(error, truncated(kind, path));
        }
    }
    const std::array<qint32, 12> encoder{129, 128, 3, 128, 64, 3, 64, 64, 3, 64, 128, 3};
    bool shape = *h[5] == 4 && *h[3] > 64 && *h[3] <= (1 << 16) && *h[18] == 128 && *h[19] == 128
        && *h[20] == 128 && *h[21] == 1;
    for (size_t i = 0; i < encoder.size(); ++i) {
        shape = shape && *h[6 + i] == encoder[i];
    }
    if (!shape) {
        // whisper.cpp's graph is built for this one layout; anything else would run out of bounds.
        return fail(error, QStringLiteral("The voice activity model %1 does not have the Silero v5 layout").arg(name));
    }
    const auto tensors = walkTensors(w, kind, path, error);
    if (!tensors) {
        return false;
    }
    constexpr int kVadTensors = 15;
    if (*tensors != kVadTensors) {
        return fail(error, QStringLiteral("The voice activity model %1 is incomplete (%2 of %3 tensors)")
                               .arg(name).arg(*tensors).arg(kVadTensors));
    }
    *frameSamples = *h[3];
    return true;
}

} // namespace

Expected<> checkSpeechModelFile(const QString& path) {
    if (QString error; !checkSpeechModel(path, &error)) {
        return Failure{error};
    }
    return {};
}

Expected<int> checkVadModelFile(const QString& path) {
    QString error;
    int frameSamples = 0;
    if (!checkVadModel(path, &error, &frameSamples)) {
        return Failure{error};
    }
    return frameSamples;
}

} // namespace quillory::whisper
