#pragma once

// The recorded speech fixtures (tests/fixtures/speech) as 16 kHz mono samples.

#include "Speech/WavFileAudioSource.h"

#include <QFile>
#include <QString>

#include <gtest/gtest.h>

#include <vector>

namespace quillory::testing {

/// The samples of fixture `name`; empty, with a test failure, when it is missing.
inline std::vector<float> speechFixture(const QString& name) {
    QFile file(QStringLiteral(QUILLORY_SPEECH_FIXTURES "/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "missing fixture " << name.toStdString();
        return {};
    }
    return WavFileAudioSource::decode(file.readAll());
}

} // namespace quillory::testing
