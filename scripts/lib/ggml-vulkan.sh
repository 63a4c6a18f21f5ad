# shellcheck shell=bash
# ggml's Vulkan backend as a run-time loaded module (libggml-vulkan.so, GGML_BACKEND_DL) beside a
# CPU runtime built from the same sources with the same options; shared by whisper-runtime.sh and
# llama-runtime.sh --vulkan (sourced after runtime-cache.sh).

# vulkan_build_packages: the Debian packages the module's build needs, and mesa-vulkan-drivers
# (lavapipe, the Vulkan driver the "vulkan" tests and the package test compute on).
vulkan_build_packages() {
    ensure_debian_packages glslc libvulkan-dev spirv-headers mesa-vulkan-drivers
}

# vulkan_check_module MODULE BASE: fails unless MODULE links libggml-base.so.0 and BASE (the CPU
# runtime's libggml-base, which the program keeps and which loads the module) defines every ggml
# symbol the module takes from it.
vulkan_check_module() {
    local module="$1" base="$2" missing
    readelf -d "$module" | grep -q 'NEEDED.*\[libggml-base\.so\.0\]' \
        || die "$(basename "$module") does not link libggml-base.so.0"
    missing="$(comm -23 <(nm -D --undefined-only "$module" | awk '$2 ~ /^(ggml|gguf)_/ {print $2}' | sort -u) \
                        <(nm -D --defined-only "$base" | awk '{print $3}' | sort -u))"
    [ -z "$missing" ] || die "the runtime's libggml-base lacks what $(basename "$module") needs: $missing"
}

# vulkan_same_base BASE: "yes" when the libggml-base this build made (under WORK/build) is the very
# file BASE, else "no" (for BUILD_INFO).
vulkan_same_base() {
    local built
    built="$(find "$WORK/build" -type f -name 'libggml-base.so*' | head -n1)"
    if [ -n "$built" ] && cmp -s "$built" "$1"; then echo yes; else echo no; fi
}

# Older Vulkan headers.
#
# ggml-vulkan.cpp guards every newer Vulkan feature with `#if defined(VK_...)` or
# VK_HEADER_VERSION except one: ggml_vk_instance_init hands the validation layer its
# "validate_best_practices" setting through VK_EXT_layer_settings (vk::LayerSettingEXT,
# vk::LayerSettingsCreateInfoEXT: headers 1.3.261 on), which only matters when ggml is built with
# GGML_VULKAN_VALIDATE and the validation layer is installed. Debian 12 has 1.3.239.
#
# vulkan_guard_layer_settings GGML_VULKAN_CPP: edits the build copy so that block compiles only
# with headers >= 261; older headers create the instance without layer settings. Fails when the
# block is not where it is expected (a newer ggml: look again).
vulkan_guard_layer_settings() {
    "$PYTHON" - "$1" <<'PY' || die "cannot guard VK_EXT_layer_settings in $1"
import sys
path = sys.argv[1]
text = open(path).read()
if "QUILLORY: layer settings need headers 1.3.261" in text:
    sys.exit(0)
first = "    VkBool32 enable_best_practice = layer_settings;\n"
last = ("    vk::InstanceCreateInfo instance_create_info(vk::InstanceCreateFlags{}, &app_info, "
        "layers, extensions, &layer_setting_info);\n")
if text.count(first) != 1 or text.count(last) != 1:
    sys.exit("ggml-vulkan.cpp has no single layer-settings block")
start = text.index(first)
end = text.index(last, start) + len(last)
guarded = ("#if VK_HEADER_VERSION >= 261 // QUILLORY: layer settings need headers 1.3.261\n"
           + text[start:end]
           + "#else\n"
           + "    vk::InstanceCreateInfo instance_create_info(vk::InstanceCreateFlags{}, &app_info, "
             "layers, extensions);\n"
           + "#endif\n")
open(path, "w").write(text[:start] + guarded + text[end:])
PY
}
