# DevIL 1.8.0 as vcpkg's own port builds it, with this project's mends (packaging/devil, the same
# files the Linux build and the Windows zip apply) on top of that port's patches, so that a
# Windows build loads and writes the same pixels as the Linux one. The build fix for mingw-w64
# on Linux is not applied: vcpkg's port has fixes of its own.
file(GLOB OSTRELLE_DEVIL_MENDS "${CMAKE_CURRENT_LIST_DIR}/../../devil/*.patch")
list(FILTER OSTRELLE_DEVIL_MENDS EXCLUDE REGEX "-mingw-w64-build\\.patch$")
list(SORT OSTRELLE_DEVIL_MENDS)

# The upstream portfile fetches the source with vcpkg_from_github; this wraps that call (CMake
# keeps the original as _vcpkg_from_github) and patches the tree it returns.
function(vcpkg_from_github)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "OUT_SOURCE_PATH" "")
    _vcpkg_from_github(${ARGV})
    z_vcpkg_apply_patches(SOURCE_PATH "${${arg_OUT_SOURCE_PATH}}" PATCHES ${OSTRELLE_DEVIL_MENDS})
    set("${arg_OUT_SOURCE_PATH}" "${${arg_OUT_SOURCE_PATH}}" PARENT_SCOPE)
endfunction()

if(NOT EXISTS "${VCPKG_ROOT_DIR}/ports/devil/portfile.cmake")
    message(FATAL_ERROR "This overlay needs vcpkg's own devil port at ${VCPKG_ROOT_DIR}/ports/devil")
endif()
include("${VCPKG_ROOT_DIR}/ports/devil/portfile.cmake")
