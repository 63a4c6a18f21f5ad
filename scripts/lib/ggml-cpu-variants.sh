# shellcheck shell=bash
# ggml's CPU backend as run-time loaded variants, shared by llama-runtime.sh and whisper-runtime.sh
# (sourced after runtime-cache.sh). ggml is built as shared libraries (GGML_BACKEND_DL) with the
# CPU backend once per variant; the program loads the best one the processor supports:
#   libggml-cpu-x64.so        any x86-64 (SSE2 only): the baseline, first in the list
#   libggml-cpu-haswell.so    AVX2, FMA, F16C, BMI2 (Intel since 2013, AMD since 2015)
#   libggml-cpu-skylakex.so   AVX-512 F/CD/VL/DQ/BW (Intel Xeon/Core X since 2017, AMD Zen 4)
# Changing the list changes CPU_VARIANTS_TAG and so the cache entries built with it.

# ggml's own names (its GGML_CPU_ALL_VARIANTS list), the baseline first.
CPU_VARIANTS=(x64 haswell skylakex)
CPU_VARIANTS_TAG="cpu-$(IFS=-; echo "${CPU_VARIANTS[*]}")"
# The CMake arguments of such a build (RUNPATH is the caller's: it depends on its layout).
CPU_VARIANTS_CMAKE_ARGS=(-DBUILD_SHARED_LIBS=ON -DGGML_BACKEND_DL=ON -DGGML_CPU_ALL_VARIANTS=ON -DGGML_NATIVE=OFF)
# The build targets of the variants (ggml builds them as modules nothing links).
CPU_VARIANT_TARGETS=()
for _v in "${CPU_VARIANTS[@]}"; do CPU_VARIANT_TARGETS+=("ggml-cpu-$_v"); done
unset _v

# cpu_variants_restrict GGML_SRC_CMAKELISTS: cuts ggml's x86 list of CPU variants down to ours in a
# build copy of ggml/src/CMakeLists.txt (each variant compiles the whole CPU backend again, the
# bulk of the build time).
cpu_variants_restrict() {
    "$PYTHON" - "$1" "${CPU_VARIANTS[@]}" <<'PY' || die "cannot choose the CPU variants in $1"
import re, sys
path, variants = sys.argv[1], sys.argv[2:]
text = open(path).read()
head = text.index("if (GGML_CPU_ALL_VARIANTS)")
start = text.index('if (GGML_SYSTEM_ARCH STREQUAL "x86")', head)
start = text.index("\n", start) + 1
end = text.index('elseif(GGML_SYSTEM_ARCH STREQUAL "ARM")', start)
block = text[start:end]
calls = dict(re.findall(r"ggml_add_cpu_backend_variant\((\w+)([^)]*)\)", block))
missing = [v for v in variants if v not in calls]
if missing:
    sys.exit("ggml has no CPU variant named " + " ".join(missing))
ours = "".join("        ggml_add_cpu_backend_variant(%s%s)\n" % (v, calls[v]) for v in variants)
open(path, "w").write(text[:start] + ours + "    " + text[end:])
PY
}

# cpu_variants_present DIR: true when DIR holds every variant.
cpu_variants_present() {
    local v
    for v in "${CPU_VARIANTS[@]}"; do
        [ -f "$1/libggml-cpu-$v.so" ] || return 1
    done
}

# cpu_variants_copy_libs BUILT_LIB_DIR DEST: copies the shared libraries built beside each other
# under the names the loader asks for (their SONAME), the variants included; fails when a variant
# is missing.
cpu_variants_copy_libs() {
    local from="$1" dest="$2" lib soname
    mkdir -p "$dest"
    for lib in "$from"/lib*.so*; do
        [ -f "$lib" ] && [ ! -L "$lib" ] || continue
        soname="$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p')"
        cp "$lib" "$dest/${soname:-$(basename "$lib")}"
    done
    cpu_variants_present "$dest" || die "$from lacks a CPU variant (wanted: ${CPU_VARIANTS[*]})"
}
