# libdeflate compiled from Debian's source package, for the builds whose compiler has no Debian
# library of it: the Windows program (linked in, so the exe imports system DLLs only) and the page.
# ./rivodiv.sh unpacks the package (apt-get source libdeflate) into build/src; nothing of it is kept
# in the repository. The files are those of the library's own Makefile without the gzip format;
# the page takes the portable code only.
enable_language(C)

set(RIVODIV_LIBDEFLATE_SOURCE "${PROJECT_SOURCE_DIR}/build/src/libdeflate-${RIVODIV_LIBDEFLATE_VERSION}"
    CACHE PATH "Unpacked Debian libdeflate source package")
set(_libdeflate_header "${RIVODIV_LIBDEFLATE_SOURCE}/libdeflate.h")
if(NOT EXISTS "${_libdeflate_header}")
  message(FATAL_ERROR "No libdeflate source at ${RIVODIV_LIBDEFLATE_SOURCE}: ./rivodiv.sh windows (or web) "
                      "fetches it, or run `apt-get source libdeflate` in ${PROJECT_SOURCE_DIR}/build/src "
                      "(needs a deb-src entry and dpkg-dev)")
endif()
file(STRINGS "${_libdeflate_header}" _libdeflate_version REGEX "^#define LIBDEFLATE_VERSION_STRING")
if(NOT _libdeflate_version MATCHES "\"${RIVODIV_LIBDEFLATE_VERSION}\"")
  message(FATAL_ERROR "${_libdeflate_header} is not libdeflate ${RIVODIV_LIBDEFLATE_VERSION}: ${_libdeflate_version}")
endif()

set(_libdeflate_files adler32 deflate_compress deflate_decompress utils zlib_compress zlib_decompress)
list(TRANSFORM _libdeflate_files PREPEND "${RIVODIV_LIBDEFLATE_SOURCE}/lib/")
list(TRANSFORM _libdeflate_files APPEND ".c")
if(NOT EMSCRIPTEN)
  # Run-time choice of the processor's vector instructions (checksums, matchfinder set-up).
  file(GLOB _libdeflate_cpu "${RIVODIV_LIBDEFLATE_SOURCE}/lib/*/cpu_features.c")
  list(APPEND _libdeflate_files ${_libdeflate_cpu})
endif()
add_library(rivodiv_libdeflate STATIC ${_libdeflate_files})
target_include_directories(rivodiv_libdeflate SYSTEM PUBLIC "${RIVODIV_LIBDEFLATE_SOURCE}")
set_target_properties(rivodiv_libdeflate PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF C_VISIBILITY_PRESET hidden)
target_compile_definitions(rivodiv_libdeflate PRIVATE _ANSI_SOURCE)
# The library's own flags; its code is not held to the project's warnings.
target_compile_options(rivodiv_libdeflate PRIVATE -O2 -fomit-frame-pointer -w)
add_library(libdeflate::libdeflate ALIAS rivodiv_libdeflate)
