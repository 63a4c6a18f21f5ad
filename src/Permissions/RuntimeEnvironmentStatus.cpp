#include "Permissions/RuntimeEnvironmentStatus.h"

#include "AI/PolishModel.h"

#include <QFile>
#include <QSysInfo>

#include <mutex>

#include <unistd.h>

namespace quillory {

namespace {
const QString kDash = QStringLiteral("\u2014");

std::mutex sourcesMutex;
RuntimeEnvironmentStatus::Sources& installedSources() {
    static RuntimeEnvironmentStatus::Sources sources;
    return sources;
}

QByteArray readSystemFile(const QString& path) {
    QString root = RuntimeEnvironmentStatus::sources().root;
    if (root.endsWith(QLatin1Char('/'))) {
        root.chop(1);
    }
    QFile file(root + path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // /proc and /sys files report size 0: read to the end, with a bound.
    return file.read(1 << 20);
}
} // namespace

RuntimeEnvironmentStatus::Sources RuntimeEnvironmentStatus::sources() {
    std::lock_guard lock(sourcesMutex);
    return installedSources();
}

RuntimeEnvironmentStatus::Sources RuntimeEnvironmentStatus::setSources(Sources sources) {
    std::lock_guard lock(sourcesMutex);
    std::swap(installedSources(), sources);
    return sources;
}

void RuntimeEnvironmentStatus::setAudioCaptureDeviceQuery(std::function<bool()> query) {
    std::lock_guard lock(sourcesMutex);
    installedSources().hasAudioCaptureDevice = std::move(query);
}

RuntimeEnvironmentStatus::DictationStatus RuntimeEnvironmentStatus::systemKeyboardDictationStatus() {
    return DictationStatus::unknown;
}

RuntimeEnvironmentStatus::SiriImprovementOptInStatus
RuntimeEnvironmentStatus::siriDictationImprovementStatus() {
    return SiriImprovementOptInStatus::unknown;
}

void RuntimeEnvironmentStatus::synchronizeDictationDefaults() {}

bool RuntimeEnvironmentStatus::meetsMinimumOperatingSystem() {
    return true;
}

QString RuntimeEnvironmentStatus::operatingSystemVersionString() {
    const QString name = QSysInfo::prettyProductName().trimmed();
    const QString kernel = QSysInfo::kernelVersion().trimmed();
    if (kernel.isEmpty()) {
        return name.isEmpty() ? kDash : name;
    }
    return QStringLiteral("%1, kernel %2").arg(name.isEmpty() ? QStringLiteral("Linux") : name, kernel);
}

QString RuntimeEnvironmentStatus::systemValueOrDash(const QByteArray& raw) {
    const qsizetype nul = raw.indexOf('\0');
    const QString text = QString::fromUtf8(nul >= 0 ? raw.left(nul) : raw).trimmed();
    return text.isEmpty() ? kDash : text;
}

QString RuntimeEnvironmentStatus::cpuBrandFromCpuinfo(const QByteArray& cpuinfo) {
    for (const char* wanted : {"model name", "Hardware"}) {
        for (const QByteArray& line : cpuinfo.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon < 0 || line.left(colon).trimmed() != wanted) {
                continue;
            }
            const QString value = systemValueOrDash(line.mid(colon + 1));
            if (value != kDash) {
                return value;
            }
        }
    }
    return kDash;
}

QString RuntimeEnvironmentStatus::cpuBrandString() {
    return cpuBrandFromCpuinfo(readSystemFile(QStringLiteral("/proc/cpuinfo")));
}

QString RuntimeEnvironmentStatus::hardwareModelIdentifier() {
    const QString product =
        systemValueOrDash(readSystemFile(QStringLiteral("/sys/devices/virtual/dmi/id/product_name")));
    if (product != kDash) {
        return product;
    }
    // Boards without DMI (most aarch64 machines) name themselves in the device tree.
    return systemValueOrDash(readSystemFile(QStringLiteral("/proc/device-tree/model")));
}

QString RuntimeEnvironmentStatus::physicalMemoryDescription() {
    const auto query = sources().physicalMemoryBytes;
    qint64 bytes = 0;
    if (query) {
        bytes = query();
    } else {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long pageSize = sysconf(_SC_PAGESIZE);
        bytes = pages > 0 && pageSize > 0 ? qint64(pages) * qint64(pageSize) : 0;
    }
    return bytes > 0 ? ByteCount::memoryStyle(bytes) : kDash;
}

bool RuntimeEnvironmentStatus::hasAudioCaptureDevice() {
    const auto query = sources().hasAudioCaptureDevice;
    return query ? query() : false;
}

} // namespace quillory
