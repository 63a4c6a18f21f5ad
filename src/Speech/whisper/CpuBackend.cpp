#include "Speech/whisper/CpuBackend.h"

#include "Runtime/Log.h"
#include "Speech/whisper/WhisperContext.h"

#include <ggml-backend.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dlfcn.h>
#include <elf.h>

#include <cstring>

namespace quillory::whisper {

namespace {

const QString kVariantPattern = QStringLiteral("libggml-cpu-*.so");

QStringList variantFiles(const QString& folder) {
    return QDir(folder).entryList({kVariantPattern}, QDir::Files, QDir::Name);
}

} // namespace

QString libraryDamage(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return file.errorString();
    }
    const qint64 size = file.size();
    Elf64_Ehdr header{};
    if (file.read(reinterpret_cast<char*>(&header), sizeof header) != qint64(sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_phentsize != sizeof(Elf64_Phdr)) {
        return QStringLiteral("not a 64-bit ELF library");
    }
    const auto within = [size](quint64 offset, quint64 length) {
        return offset <= quint64(size) && length <= quint64(size) - offset;
    };
    const auto cut = QStringLiteral("cut short (%1 bytes)").arg(size);
    if (!within(header.e_phoff, quint64(header.e_phnum) * sizeof(Elf64_Phdr)) ||
        !within(header.e_shoff, quint64(header.e_shnum) * header.e_shentsize)) {
        return cut;
    }
    file.seek(qint64(header.e_phoff));
    for (int i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment{};
        if (file.read(reinterpret_cast<char*>(&segment), sizeof segment) != qint64(sizeof segment)) {
            return cut;
        }
        if (segment.p_type == PT_LOAD && !within(segment.p_offset, segment.p_filesz)) {
            return cut;
        }
    }
    return {};
}

namespace {

// Why none of the variants in `folder` became ggml's CPU backend: each file's own reason
// (the loader's message for a damaged file, or that it is made for a newer processor).
QString whyNoneLoaded(const QString& folder, const QStringList& files) {
    QStringList reasons;
    for (const QString& name : files) {
        const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + name);
        void* handle = dlopen(path.constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* error = dlerror();
            reasons << (error ? QString::fromLocal8Bit(error) : name + QStringLiteral(": cannot be loaded"));
            continue;
        }
        using Score = int (*)();
        const auto score = reinterpret_cast<Score>(dlsym(handle, "ggml_backend_score"));
        if (!score) {
            reasons << name + QStringLiteral(": not a ggml backend");
        } else if (score() == 0) {
            reasons << name + QStringLiteral(": made for a newer processor");
        } else {
            reasons << name + QStringLiteral(": loads, but ggml did not take it");
        }
        dlclose(handle);
    }
    return reasons.join(QStringLiteral("; "));
}

Expected<CpuBackend> loadCpuBackend() {
    installLogCallback(); // ggml's own lines go to the speech channel, not to stderr
    const QStringList folders = cpuBackendFolders();
    QString folder;
    QStringList files;
    for (const QString& candidate : folders) {
        files = variantFiles(candidate);
        if (!files.isEmpty()) {
            folder = QDir::cleanPath(QDir(candidate).absolutePath());
            break;
        }
    }
    if (folder.isEmpty()) {
        return Failure{QStringLiteral("Speech recognition cannot run: no CPU backend (%1) in %2")
                           .arg(kVariantPattern, folders.join(QStringLiteral(", ")))};
    }
    // ggml opens every libggml-cpu-*.so of the folder to choose: none may be damaged.
    QStringList damaged;
    for (const QString& name : files) {
        if (const QString why = libraryDamage(folder + QLatin1Char('/') + name); !why.isEmpty()) {
            damaged << name + QStringLiteral(": ") + why;
        }
    }
    if (!damaged.isEmpty()) {
        return Failure{QStringLiteral("Speech recognition cannot run: damaged CPU backend in %1 (%2)")
                           .arg(folder, damaged.join(QStringLiteral("; ")))};
    }
    // ggml loads the best-scoring libggml-cpu-*.so of the folder (and any other backend there).
    ggml_backend_load_all_from_path(QFile::encodeName(folder).constData());
    ggml_backend_dev_t device = ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU);
    if (!device) {
        return Failure{QStringLiteral("Speech recognition cannot run: no CPU backend in %1 could be loaded (%2)")
                           .arg(folder, whyNoneLoaded(folder, files))};
    }
    CpuBackend backend;
    backend.folder = folder;
    // The library a function of the backend lives in is the variant ggml chose.
    ggml_backend_reg_t reg = ggml_backend_dev_backend_reg(device);
    void* symbol = reg ? ggml_backend_reg_get_proc_address(reg, "ggml_backend_set_n_threads") : nullptr;
    Dl_info info{};
    if (symbol && dladdr(symbol, &info) != 0 && info.dli_fname) {
        backend.file = QFileInfo(QFile::decodeName(info.dli_fname)).absoluteFilePath();
        const QString name = QFileInfo(backend.file).fileName();
        if (name.startsWith(QLatin1String("libggml-cpu-")) && name.endsWith(QLatin1String(".so"))) {
            backend.variant = name.mid(12, name.size() - 12 - 3);
        }
    }
    if (backend.variant.isEmpty()) {
        backend.variant = QStringLiteral("unknown");
    }
    qCInfo(lcSpeech, "Speech CPU backend: %s (%s)", qUtf8Printable(backend.variant),
           qUtf8Printable(backend.file.isEmpty() ? folder : backend.file));
    return backend;
}

} // namespace

QStringList cpuBackendFolders() {
    if (const QString env = qEnvironmentVariable("QUILLORY_WHISPER_CPU_DIR"); !env.isEmpty()) {
        return {env};
    }
    QStringList folders;
    const QFileInfo program(QStringLiteral("/proc/self/exe"));
    const QString programDir = QFileInfo(program.canonicalFilePath()).absolutePath();
    if (!program.canonicalFilePath().isEmpty()) {
        folders << QDir::cleanPath(programDir + QStringLiteral("/../lib/quillory/whisper"));
    }
#ifdef QUILLORY_WHISPER_ROOT
    folders << QDir::cleanPath(QStringLiteral(QUILLORY_WHISPER_ROOT "/lib"));
#endif
    return folders;
}

const Expected<CpuBackend>& ensureCpuBackend() {
    static const Expected<CpuBackend> backend = loadCpuBackend();
    return backend;
}

} // namespace quillory::whisper
