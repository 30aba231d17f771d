# zlib for the browser build: Debian's zlib 1.2.13 source package compiled with emcc, so that a
# file written in the browser deflates to the same bytes as the native build. Emscripten's own
# zlib port would be downloaded from the internet and is another version.
enable_language(C)

set(RIVODIV_ZLIB_DIR "${CMAKE_BINARY_DIR}/zlib" CACHE PATH "Unpacked Debian zlib source package")
set(RIVODIV_ZLIB_VERSION "1.2.13")

file(GLOB _zlib_unpacked "${RIVODIV_ZLIB_DIR}/zlib-${RIVODIV_ZLIB_VERSION}*/zlib.h")
if(NOT _zlib_unpacked)
  file(MAKE_DIRECTORY "${RIVODIV_ZLIB_DIR}")
  message(STATUS "Fetching zlib ${RIVODIV_ZLIB_VERSION} with apt-get source into ${RIVODIV_ZLIB_DIR}")
  execute_process(COMMAND apt-get source "zlib" WORKING_DIRECTORY "${RIVODIV_ZLIB_DIR}"
                  RESULT_VARIABLE _zlib_rc)
  file(GLOB _zlib_unpacked "${RIVODIV_ZLIB_DIR}/zlib-${RIVODIV_ZLIB_VERSION}*/zlib.h")
  if(NOT _zlib_rc EQUAL 0 OR NOT _zlib_unpacked)
    message(FATAL_ERROR "apt-get source zlib did not give zlib ${RIVODIV_ZLIB_VERSION}; "
                        "it needs a deb-src entry and dpkg-dev (./rivodiv.sh web sets both up)")
  endif()
endif()
list(GET _zlib_unpacked 0 _zlib_header)
get_filename_component(_zlib_source "${_zlib_header}" DIRECTORY)
file(STRINGS "${_zlib_header}" _zlib_version_line REGEX "^#define ZLIB_VERSION ")
if(NOT _zlib_version_line MATCHES "\"${RIVODIV_ZLIB_VERSION}\"")
  message(FATAL_ERROR "${_zlib_header} is not zlib ${RIVODIV_ZLIB_VERSION}: ${_zlib_version_line}")
endif()

set(_zlib_files adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast
    inflate inftrees trees uncompr zutil)
list(TRANSFORM _zlib_files PREPEND "${_zlib_source}/")
list(TRANSFORM _zlib_files APPEND ".c")
add_library(rivodiv_zlib STATIC ${_zlib_files})
target_include_directories(rivodiv_zlib SYSTEM PUBLIC "${_zlib_source}")
target_compile_definitions(rivodiv_zlib PRIVATE Z_HAVE_UNISTD_H)
# zlib's own code is not held to the project's warnings.
target_compile_options(rivodiv_zlib PRIVATE -O2 -w)
add_library(ZLIB::ZLIB ALIAS rivodiv_zlib)
