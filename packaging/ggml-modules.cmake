# ggml's Vulkan backend modules (libggml-vulkan.so, GGML_BACKEND_DL) in the install, and where the
# runtimes come from: used when configuring (packaging/CMakeLists.txt) and when installing (its
# install(CODE) rules include this file), as the runtimes may be built after the tree is configured.

# quillory_deps_folder(OUT): the dependency cache the runtime scripts build into.
function(quillory_deps_folder out)
    if(NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
        set(${out} "$ENV{XDG_CACHE_HOME}/quillory/deps" PARENT_SCOPE)
    else()
        set(${out} "$ENV{HOME}/.cache/quillory/deps" PARENT_SCOPE)
    endif()
endfunction()

# quillory_cached_runtime(OUT STAMP FILE): DEPS/<entry>/FILE of the entry the stamp DEPS/STAMP names
# (llama-current, llama-vulkan-current), once its BUILD_INFO is written (the entry is complete);
# else empty.
function(quillory_cached_runtime out stamp file)
    quillory_deps_folder(_deps)
    set(${out} "" PARENT_SCOPE)
    if(EXISTS "${_deps}/${stamp}")
        file(STRINGS "${_deps}/${stamp}" _name LIMIT_COUNT 1)
        if(NOT _name STREQUAL "" AND EXISTS "${_deps}/${_name}/BUILD_INFO")
            set(${out} "${_deps}/${_name}/${file}" PARENT_SCOPE)
        endif()
    endif()
endfunction()

# quillory_llama_server(OUT): llama-server from QUILLORY_LLAMA_SERVER, else the runtime the
# dependency cache names in llama-current; empty when there is none.
function(quillory_llama_server out)
    set(_server "${QUILLORY_LLAMA_SERVER}")
    if(_server STREQUAL "")
        quillory_cached_runtime(_server llama-current bin/llama-server)
    endif()
    set(${out} "${_server}" PARENT_SCOPE)
endfunction()

# quillory_vulkan_module(MODULE BASE FOLDER RUNPATH RUNTIME): the Vulkan module to install for RUNTIME
# (whisper: quillory's speech recognition; llama: llama-server) and the libggml-base.so.0 installed
# for it, which loads it (the module is empty when there is none to install, the base when it is not
# known yet), the folder below the prefix it goes to and its RUNPATH there (the cache's names the
# cache's layout). The module comes from QUILLORY_<RUNTIME>_VULKAN (a path; "none": no module), else
# from the cache entry `scripts/<runtime>-runtime.sh --vulkan` builds, once complete (its BUILD_INFO).
function(quillory_vulkan_module module base folder runpath runtime)
    if(runtime STREQUAL "whisper")
        set(_configured "${QUILLORY_WHISPER_VULKAN}")
        set(_default "${QUILLORY_WHISPER_VULKAN_ROOT}/lib/libggml-vulkan.so")
        set(_complete "${QUILLORY_WHISPER_VULKAN_ROOT}/BUILD_INFO")
        set(_base "${QUILLORY_WHISPER_ROOT}/lib/libggml-base.so.0")
        # A level below the runtime's libraries: quillory loads it from there (GpuBackend.h).
        set(${folder} lib/quillory/whisper/vulkan PARENT_SCOPE)
        set(${runpath} "$ORIGIN/.." PARENT_SCOPE)
    else()
        quillory_cached_runtime(_default llama-vulkan-current bin/libggml-vulkan.so)
        set(_configured "${QUILLORY_LLAMA_VULKAN}")
        set(_complete "${_default}")
        quillory_llama_server(_server)
        get_filename_component(_base "${_server}" DIRECTORY)
        set(_base "${_base}/libggml-base.so.0")
        # Beside llama-server: ggml looks for backend modules in the executable's folder.
        set(${folder} "${CMAKE_INSTALL_LIBEXECDIR}/quillory" PARENT_SCOPE)
        set(${runpath} "$ORIGIN" PARENT_SCOPE)
    endif()
    if(_configured STREQUAL "none" OR (_configured STREQUAL "" AND NOT EXISTS "${_complete}"))
        set(${module} "" PARENT_SCOPE)
    elseif(_configured STREQUAL "")
        set(${module} "${_default}" PARENT_SCOPE)
    else()
        set(${module} "${_configured}" PARENT_SCOPE)
    endif()
    if(NOT EXISTS "${_base}")
        set(_base "")
    endif()
    set(${base} "${_base}" PARENT_SCOPE)
endfunction()

# quillory_check_vulkan_module(MODULE BASE RUNTIME): stops with a clear message unless MODULE exists
# and comes from the build of BASE (the libggml-base.so.0 installed for it, which loads it): it takes
# ggml's functions from a libggml-base, BASE defines every ggml symbol it takes, and a
# libggml-base.so.0 beside it (in the folder of the build it came from, as in the cache's
# llama-vulkan entry) is BASE byte for byte. The symbols alone can match across ggml versions; a
# module of another build can still fail to load, or load and misbehave (its structures' layouts are
# its build's).
function(quillory_check_vulkan_module module base runtime)
    string(TOUPPER "${runtime}" _upper)
    string(CONCAT hint "Build it with scripts/${runtime}-runtime.sh --vulkan (again, after its CPU runtime), "
        "or configure with -DQUILLORY_${_upper}_VULKAN=PATH, or none to leave it out.")
    if(NOT EXISTS "${module}")
        message(FATAL_ERROR "ggml's Vulkan backend was not found (${module}): ${hint}")
    endif()
    execute_process(COMMAND "${CMAKE_NM}" -D --undefined-only "${module}"
        OUTPUT_VARIABLE _wanted RESULT_VARIABLE _s1)
    execute_process(COMMAND "${CMAKE_NM}" -D --defined-only "${base}"
        OUTPUT_VARIABLE _defined RESULT_VARIABLE _s2)
    if(NOT _s1 EQUAL 0 OR NOT _s2 EQUAL 0)
        message(FATAL_ERROR "cannot read the dynamic symbols of ${module} or ${base} with ${CMAKE_NM}")
    endif()
    string(REGEX MATCHALL "[ \n]U (ggml|gguf)_[A-Za-z0-9_]+" _wanted "${_wanted}")
    string(REGEX MATCHALL " [A-Za-z] (ggml|gguf)_[A-Za-z0-9_]+" _defined "${_defined}")
    list(TRANSFORM _wanted REPLACE "^.* " "")
    list(TRANSFORM _defined REPLACE "^.* " "")
    set(_missing ${_wanted})
    if(_defined)
        list(REMOVE_ITEM _missing ${_defined})
    endif()
    if(NOT _wanted)
        set(_missing "(it takes no ggml function from a libggml-base)")
    endif()
    get_filename_component(_folder "${module}" DIRECTORY)
    set(_twin "${_folder}/libggml-base.so.0")
    if(NOT _missing AND EXISTS "${_twin}")
        file(SHA256 "${_twin}" _a)
        file(SHA256 "${base}" _b)
        if(NOT _a STREQUAL _b)
            set(_missing "(its own libggml-base.so.0 is another build's)")
        endif()
    endif()
    if(_missing)
        list(JOIN _missing " " _missing)
        message(FATAL_ERROR "ggml's Vulkan backend ${module} is not from the build of ${base}, which "
            "would load it: ${_missing}. ${hint}")
    endif()
endfunction()

# quillory_install_vulkan_module(RUNTIME): installs RUNTIME's Vulkan module, if any
# (quillory_vulkan_module), checked, stripped with CMAKE_STRIP when the install strips.
function(quillory_install_vulkan_module runtime)
    quillory_vulkan_module(_module _base _folder _runpath ${runtime})
    if(_module STREQUAL "")
        return()
    endif()
    quillory_check_vulkan_module("${_module}" "${_base}" ${runtime})
    set(_dest "${CMAKE_INSTALL_PREFIX}/${_folder}")
    file(INSTALL DESTINATION "${_dest}" TYPE FILE RENAME libggml-vulkan.so FILES "${_module}")
    file(RPATH_SET FILE "$ENV{DESTDIR}${_dest}/libggml-vulkan.so" NEW_RPATH "${_runpath}")
    if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND "${CMAKE_STRIP}" --strip-unneeded "$ENV{DESTDIR}${_dest}/libggml-vulkan.so")
    endif()
endfunction()

# quillory_check_vulkan_modules(): when configuring, the modules there are by then against the
# libggml-base installed for them (the install checks again what is built later).
function(quillory_check_vulkan_modules)
    foreach(_runtime whisper llama)
        quillory_vulkan_module(_module _base _folder _runpath ${_runtime})
        if(NOT _module STREQUAL "" AND NOT _base STREQUAL "")
            quillory_check_vulkan_module("${_module}" "${_base}" ${_runtime})
            message(STATUS "ggml's Vulkan backend for ${_runtime}: ${_module}")
        endif()
    endforeach()
endfunction()
