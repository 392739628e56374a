# The image library: DevIL 1.8.0 from the pinned tarball with every patch in packaging/devil, the
# same source the Windows zip is built from, compiled here as a static library against the
# system's libpng, libjpeg and zlib. Without the tarball (OSTRELLE_VENDOR), the system's DevIL is
# used instead, and the build says so. Defines DevIL::IL, and OSTRELLE_DEVIL_PINNED (ON or OFF)
# with OSTRELLE_DEVIL_TEXT, the one line that names the library built with, and
# ostrelle_devil_headers, the library's headers alone, for code that only needs its constants.

if(DEFINED ENV{OSTRELLE_VENDOR})
  get_filename_component(OSTRELLE_VENDOR_DEFAULT "$ENV{OSTRELLE_VENDOR}" ABSOLUTE BASE_DIR
                         "${PROJECT_SOURCE_DIR}")
else()
  set(OSTRELLE_VENDOR_DEFAULT "${PROJECT_SOURCE_DIR}/../shared/vendor")
endif()
set(OSTRELLE_VENDOR "${OSTRELLE_VENDOR_DEFAULT}"
    CACHE PATH "Folder holding the pinned source tarballs (devil-1.8.0.tar.gz among them)")
option(OSTRELLE_REQUIRE_PINNED_DEVIL "Stop when the pinned DevIL tarball is missing" OFF)
# Flags for the library's own code only, such as the fuzzer's coverage instrumentation.
set(OSTRELLE_DEVIL_FLAGS "" CACHE STRING "Extra compiler flags for the pinned DevIL")

set(OSTRELLE_DEVIL_TARBALL "${OSTRELLE_VENDOR}/devil-1.8.0.tar.gz")
file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/windows/SHA256SUMS" OSTRELLE_DEVIL_SUM
     REGEX " devil-1\\.8\\.0\\.tar\\.gz$")
string(REGEX REPLACE " .*" "" OSTRELLE_DEVIL_SUM "${OSTRELLE_DEVIL_SUM}")

if(EXISTS "${OSTRELLE_DEVIL_TARBALL}" AND NOT WIN32)
  file(SHA256 "${OSTRELLE_DEVIL_TARBALL}" OSTRELLE_DEVIL_ACTUAL_SUM)
  if(NOT OSTRELLE_DEVIL_ACTUAL_SUM STREQUAL OSTRELLE_DEVIL_SUM)
    message(FATAL_ERROR "${OSTRELLE_DEVIL_TARBALL} does not match its sha256 in "
                        "packaging/windows/SHA256SUMS")
  endif()
  find_package(PNG REQUIRED)
  find_package(JPEG REQUIRED)
  find_package(ZLIB REQUIRED)
  find_program(OSTRELLE_PATCH patch REQUIRED)
  enable_language(C)
  include(ExternalProject)

  # The patches apply in the order of their names, each time to a fresh copy of the source.
  file(GLOB OSTRELLE_DEVIL_PATCHES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/packaging/devil/*.patch")
  list(SORT OSTRELLE_DEVIL_PATCHES)
  string(JOIN "|" OSTRELLE_DEVIL_PATCH_LIST ${OSTRELLE_DEVIL_PATCHES})

  # OSTRELLE_HARDENING holds generator expressions for the configuration; the library's build
  # has one configuration, so its flags are plain.
  string(GENEX_STRIP "${OSTRELLE_HARDENING}" OSTRELLE_DEVIL_HARDENING)
  if(OSTRELLE_HARDENING MATCHES "_FORTIFY_SOURCE"
     AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    list(APPEND OSTRELLE_DEVIL_HARDENING -D_FORTIFY_SOURCE=2)
  endif()
  string(JOIN " " OSTRELLE_DEVIL_HARDENING ${OSTRELLE_DEVIL_HARDENING})

  set(OSTRELLE_DEVIL_PREFIX "${PROJECT_BINARY_DIR}/devil")
  set(OSTRELLE_DEVIL_LIBRARY "${OSTRELLE_DEVIL_PREFIX}/lib/libIL.a")
  # Only PNG and JPEG bring libraries of their own, as in the Windows DLL.
  ExternalProject_Add(
    devil_pinned
    PREFIX "${PROJECT_BINARY_DIR}/devil-build"
    SOURCE_DIR "${PROJECT_BINARY_DIR}/devil-build/source"
    BINARY_DIR "${PROJECT_BINARY_DIR}/devil-build/build"
    DOWNLOAD_COMMAND
      ${CMAKE_COMMAND} -DTARBALL=${OSTRELLE_DEVIL_TARBALL} -DSOURCE_DIR=<SOURCE_DIR>
      -DPATCH=${OSTRELLE_PATCH} "-DPATCHES=${OSTRELLE_DEVIL_PATCH_LIST}"
      -P ${PROJECT_SOURCE_DIR}/cmake/devil-unpack.cmake
    SOURCE_SUBDIR DevIL/src-IL
    INSTALL_DIR "${OSTRELLE_DEVIL_PREFIX}"
    CMAKE_ARGS -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
               -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
               -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
               -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
               "-DCMAKE_C_FLAGS=${CMAKE_C_FLAGS} ${OSTRELLE_DEVIL_HARDENING} ${OSTRELLE_DEVIL_FLAGS} -w"
               "-DCMAKE_CXX_FLAGS=${CMAKE_CXX_FLAGS} ${OSTRELLE_DEVIL_HARDENING} ${OSTRELLE_DEVIL_FLAGS} -w"
               -DCMAKE_POSITION_INDEPENDENT_CODE=ON
               -DBUILD_SHARED_LIBS=OFF
               -DCMAKE_DISABLE_FIND_PACKAGE_TIFF=ON
               -DCMAKE_DISABLE_FIND_PACKAGE_Jasper=ON
               -DCMAKE_DISABLE_FIND_PACKAGE_libSquish=ON
               -DCMAKE_DISABLE_FIND_PACKAGE_NVTT=ON
               -DCMAKE_DISABLE_FIND_PACKAGE_OpenEXR=ON
               -DCMAKE_DISABLE_FIND_PACKAGE_LCMS2=ON
               -DCMAKE_DISABLE_FIND_PACKAGE_MNG=ON
    BUILD_BYPRODUCTS "${OSTRELLE_DEVIL_LIBRARY}")
  # The patches are part of the source: a changed one unpacks and builds the library afresh.
  ExternalProject_Add_StepDependencies(devil_pinned download "${OSTRELLE_DEVIL_TARBALL}" ${OSTRELLE_DEVIL_PATCHES}
                                       "${PROJECT_SOURCE_DIR}/cmake/devil-unpack.cmake")

  file(MAKE_DIRECTORY "${OSTRELLE_DEVIL_PREFIX}/include")
  add_library(ostrelle_devil_headers INTERFACE)
  target_include_directories(ostrelle_devil_headers SYSTEM
                             INTERFACE "${OSTRELLE_DEVIL_PREFIX}/include")
  add_dependencies(ostrelle_devil_headers devil_pinned)
  add_library(ostrelle_devil INTERFACE)
  target_link_libraries(ostrelle_devil INTERFACE ostrelle_devil_headers "${OSTRELLE_DEVIL_LIBRARY}"
                                                 PNG::PNG JPEG::JPEG ZLIB::ZLIB m)
  add_library(DevIL::IL ALIAS ostrelle_devil)
  set(OSTRELLE_DEVIL_PINNED ON)
  set(OSTRELLE_DEVIL_TEXT "DevIL 1.8.0 with the patches in packaging/devil (pinned, linked in)")
else()
  if(OSTRELLE_REQUIRE_PINNED_DEVIL)
    message(FATAL_ERROR
      "The pinned DevIL source is missing: ${OSTRELLE_DEVIL_TARBALL} (sha256 in "
      "packaging/windows/SHA256SUMS). README.md, \"Building the zip\", lists the tarballs and "
      "how to make them; put them in ../shared/vendor beside the project or set OSTRELLE_VENDOR.")
  endif()
  find_package(DevIL REQUIRED)
  # FindDevIL reports the folder that holds il.h, but the sources include it as <IL/il.h>;
  # without its parent a DevIL outside the compiler's default paths (vcpkg, a cross sysroot) is
  # not found.
  add_library(ostrelle_devil_headers INTERFACE)
  target_include_directories(ostrelle_devil_headers INTERFACE "${IL_INCLUDE_DIR}")
  get_filename_component(OSTRELLE_IL_DIR "${IL_INCLUDE_DIR}" NAME)
  if(OSTRELLE_IL_DIR STREQUAL "IL")
    get_filename_component(OSTRELLE_IL_PARENT "${IL_INCLUDE_DIR}" DIRECTORY)
    target_include_directories(ostrelle_devil_headers INTERFACE "${OSTRELLE_IL_PARENT}")
  endif()
  target_link_libraries(DevIL::IL INTERFACE ostrelle_devil_headers)
  set(OSTRELLE_DEVIL_PINNED OFF)
  if(WIN32)
    set(OSTRELLE_DEVIL_TEXT "the DevIL found at ${IL_LIBRARIES}")
  else()
    set(OSTRELLE_DEVIL_TEXT
        "the system's DevIL (${IL_LIBRARIES}), not the pinned 1.8.0: no ${OSTRELLE_DEVIL_TARBALL}")
  endif()
endif()
message(STATUS "Image library: ${OSTRELLE_DEVIL_TEXT}")
file(WRITE "${PROJECT_BINARY_DIR}/image-library.txt" "${OSTRELLE_DEVIL_TEXT}\n")
