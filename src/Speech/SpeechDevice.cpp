#include "Speech/SpeechDevice.h"

#include "Runtime/DefaultsStore.h"

namespace quillory::ComputeDevices {

ComputeDevicePreference preference(const DefaultsStore& store, QString* unknown) {
    const QString stored = store.stringValue(QLatin1String(preferenceKey)).value_or(QString()).trimmed().toLower();
    if (stored == QLatin1String("cpu")) {
        return ComputeDevicePreference::cpu;
    }
    if (stored == QLatin1String("gpu")) {
        return ComputeDevicePreference::gpu;
    }
    if (unknown && !stored.isEmpty() && stored != QLatin1String("auto")) {
        *unknown = stored;
    }
    return ComputeDevicePreference::automatic;
}

QString name(ComputeDevicePreference preference) {
    switch (preference) {
    case ComputeDevicePreference::cpu:
        return QStringLiteral("cpu");
    case ComputeDevicePreference::gpu:
        return QStringLiteral("gpu");
    case ComputeDevicePreference::automatic:
        break;
    }
    return QStringLiteral("auto");
}

} // namespace quillory::ComputeDevices
