# shellcheck shell=bash
# ggml's Vulkan backend on older Vulkan headers (sourced after runtime-cache.sh).
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
