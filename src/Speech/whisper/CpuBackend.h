#pragma once

// ggml's CPU backend for whisper.cpp, loaded at run time. whisper.cpp and ggml are shared
// libraries with no CPU code of their own; the CPU backend comes as one library per processor
// generation (libggml-cpu-x64.so for any x86-64, -haswell for AVX2, -skylakex for AVX-512), and
// before the first model loads the best one this processor runs is loaded from the runtime's
// folder:
//   $QUILLORY_WHISPER_CPU_DIR                  when set, and then only that folder
//   <program folder>/../lib/quillory/whisper   the install (packaging/CMakeLists.txt)
//   <build-time runtime>/lib                   a build tree: scripts/whisper-runtime.sh's cache entry
// The first folder holding a libggml-cpu-*.so is the one used.

#include "Runtime/Expected.h"

#include <QString>
#include <QStringList>

namespace quillory::whisper {

/// The CPU backend in use.
struct CpuBackend {
    QString folder;  ///< where it was loaded from
    QString file;    ///< the library ggml chose ("/usr/lib/quillory/whisper/libggml-cpu-haswell.so")
    QString variant; ///< its processor generation, from the file name ("haswell")
};

/// The folders searched, in order (see above).
QStringList cpuBackendFolders();

/// Why the library at `path` cannot be loaded without harm, or empty when it looks whole: the
/// dynamic loader maps a file cut short as if it were whole and the process dies of SIGBUS at the
/// first missing page, so every segment and the section table must lie within the file.
QString libraryDamage(const QString& path);

/// Loads the CPU backend once per process; every later call (from any thread) gives the first
/// call's answer. Fails with a reason naming the folder when no variant is there or none of them
/// loads; whisper.cpp must then not be called.
const Expected<CpuBackend>& ensureCpuBackend();

} // namespace quillory::whisper
