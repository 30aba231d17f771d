# libdeflate, the codec of the WLX pixel blocks: its bytes differ between versions, so every build
# uses the same one. Linux takes Debian's (libdeflate-dev); the Windows program and the browser page
# compile that version from Debian's source package with their own compilers.
set(RIVODIV_LIBDEFLATE_VERSION "1.14")

if(WIN32 OR EMSCRIPTEN)
  include(${CMAKE_CURRENT_LIST_DIR}/libdeflate-source.cmake)
  return()
endif()

# Debian's package has neither a CMake package file nor a correct pkg-config libdir.
find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h)
find_library(LIBDEFLATE_LIBRARY deflate)
if(NOT LIBDEFLATE_INCLUDE_DIR OR NOT LIBDEFLATE_LIBRARY)
  message(FATAL_ERROR "libdeflate not found: install libdeflate-dev (./rivodiv.sh does)")
endif()
file(STRINGS "${LIBDEFLATE_INCLUDE_DIR}/libdeflate.h" _libdeflate_version REGEX "^#define LIBDEFLATE_VERSION_STRING")
if(NOT _libdeflate_version MATCHES "\"${RIVODIV_LIBDEFLATE_VERSION}\"")
  message(WARNING "${LIBDEFLATE_INCLUDE_DIR}/libdeflate.h is not libdeflate ${RIVODIV_LIBDEFLATE_VERSION} "
                  "(${_libdeflate_version}): WLX files will not have the same bytes as the other builds'")
endif()
add_library(libdeflate::libdeflate UNKNOWN IMPORTED)
set_target_properties(libdeflate::libdeflate PROPERTIES
  IMPORTED_LOCATION "${LIBDEFLATE_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${LIBDEFLATE_INCLUDE_DIR}")
