# shellcheck shell=bash
# What run-hardening.sh and fuzz.sh share: the sanitizer build folders and their configuration.
# Sourced, never run; the caller is at the top of the checkout.
#   ASAN_DIR, ASAN_ARGS   build-asan: AddressSanitizer + UndefinedBehaviorSanitizer over the tree,
#                         with libFuzzer coverage, so the unit tests and the fuzz targets share
#                         one compile of the tree
#   TSAN_DIR, TSAN_ARGS   build-tsan: ThreadSanitizer
#   hardening_configure DIR LOG CMAKE_ARGS...   configures DIR once, and again when the arguments
#                         change (they are kept in DIR/.hardening-args); CMake's output goes to LOG

ASAN_DIR=build-asan
ASAN_ARGS=(-DQUILLORY_SANITIZE=address,undefined -DQUILLORY_BUILD_FUZZ=ON -DQUILLORY_BUILD_BENCH=OFF)
TSAN_DIR=build-tsan
TSAN_ARGS=(-DQUILLORY_SANITIZE=thread -DQUILLORY_BUILD_BENCH=OFF)

hardening_configure() {
    local dir="$1" log="$2"
    shift 2
    local stamp="$dir/.hardening-args"
    local args="$*"
    if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$args" ]; then
        cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$log" 2>&1 || return 1
        echo "$args" >"$stamp"
    fi
}
