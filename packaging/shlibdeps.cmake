# Run by cpack on the staged install before it writes the .deb (CPACK_PRE_BUILD_SCRIPTS): adds to
# Depends what the package's ELF files link, as dpkg-shlibdeps finds it, except libvulkan1.
#
# Only ggml's Vulkan backends link libvulkan.so.1: lib/quillory/whisper/vulkan/libggml-vulkan.so,
# which quillory loads at run time, and libexec/quillory/libggml-vulkan.so, which llama-server's
# ggml loads at start from its own folder. Either fails to load without libvulkan1 (or finds no
# device without a driver), and then recognition, or the polish model, runs on the CPU: quillory
# says why in `quillory doctor`, ggml skips a backend module it cannot load. So the Vulkan loader
# and a driver are Recommends, not Depends. CPACK_DEBIAN_PACKAGE_SHLIBDEPS cannot leave one library
# out: it runs dpkg-shlibdeps over every ELF file with no options of ours
# (CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS only adds folders to search), hence this script and
# dpkg-shlibdeps' -x, which drops a package from what it writes.
set(_root "${CPACK_TEMPORARY_DIRECTORY}")
file(GLOB_RECURSE _files LIST_DIRECTORIES false "${_root}/*")
set(_elf "")
foreach(_file IN LISTS _files)
    if(NOT IS_SYMLINK "${_file}")
        file(READ "${_file}" _magic LIMIT 4 HEX)
        if(_magic STREQUAL "7f454c46")
            list(APPEND _elf "${_file}")
        endif()
    endif()
endforeach()

# dpkg-shlibdeps wants a debian/control in its working folder and finds the package's root (for
# RUNPATH $ORIGIN) by its DEBIAN folder; neither stays in the package.
file(WRITE "${_root}/debian/control" "")
file(MAKE_DIRECTORY "${_root}/DEBIAN")
execute_process(COMMAND dpkg-shlibdeps --ignore-missing-info -xlibvulkan1 -O ${_elf}
    WORKING_DIRECTORY "${_root}"
    OUTPUT_VARIABLE _out ERROR_VARIABLE _err RESULT_VARIABLE _status OUTPUT_STRIP_TRAILING_WHITESPACE)
file(REMOVE_RECURSE "${_root}/debian" "${_root}/DEBIAN")
if(NOT _status EQUAL 0 OR NOT _out MATCHES "^shlibs:Depends=")
    message(FATAL_ERROR "dpkg-shlibdeps failed (${_status}): ${_err}")
endif()
string(REGEX REPLACE "^shlibs:Depends=" "" _out "${_out}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_out}, ${CPACK_DEBIAN_PACKAGE_DEPENDS}")

# A GPU through the Vulkan backend wants the loader and the GPU's driver (Mesa's for Intel and AMD;
# NVIDIA's driver provides vulkan-icd too).
file(GLOB _vulkan "${_root}${CPACK_PACKAGING_INSTALL_PREFIX}/lib/quillory/whisper/vulkan/libggml-vulkan.so"
    "${_root}${CPACK_PACKAGING_INSTALL_PREFIX}/libexec/quillory/libggml-vulkan.so")
if(_vulkan)
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${CPACK_DEBIAN_PACKAGE_RECOMMENDS}, libvulkan1, mesa-vulkan-drivers | vulkan-icd")
endif()
