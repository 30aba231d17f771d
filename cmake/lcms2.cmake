# Little CMS 2, the colour conversions of CMYK documents with a profile and of Lab documents. Linux
# takes Debian's (liblcms2-dev); the Windows program and the browser page compile that version from
# Debian's source package with their own compilers.
set(RIVODIV_LCMS2_VERSION "2.14")

if(WIN32 OR EMSCRIPTEN)
  include(${CMAKE_CURRENT_LIST_DIR}/lcms2-source.cmake)
  return()
endif()

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(LCMS2_PC QUIET lcms2)
endif()
find_path(LCMS2_INCLUDE_DIR lcms2.h HINTS ${LCMS2_PC_INCLUDE_DIRS})
find_library(LCMS2_LIBRARY lcms2 HINTS ${LCMS2_PC_LIBRARY_DIRS})
if(NOT LCMS2_INCLUDE_DIR OR NOT LCMS2_LIBRARY)
  message(FATAL_ERROR "Little CMS 2 not found: install liblcms2-dev (./rivodiv.sh does)")
endif()
# LCMS_VERSION is 2140 for 2.14.
string(REPLACE "." "" _lcms2_number "${RIVODIV_LCMS2_VERSION}0")
file(STRINGS "${LCMS2_INCLUDE_DIR}/lcms2.h" _lcms2_version REGEX "^#define LCMS_VERSION ")
if(NOT _lcms2_version MATCHES " ${_lcms2_number}$")
  message(WARNING "${LCMS2_INCLUDE_DIR}/lcms2.h is not Little CMS ${RIVODIV_LCMS2_VERSION} "
                  "(${_lcms2_version}): CMYK and Lab colours may differ from the other builds' by a level")
endif()
add_library(lcms2::lcms2 UNKNOWN IMPORTED)
set_target_properties(lcms2::lcms2 PROPERTIES
  IMPORTED_LOCATION "${LCMS2_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${LCMS2_INCLUDE_DIR}")
