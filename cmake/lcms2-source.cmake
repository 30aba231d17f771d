# Little CMS 2 compiled from Debian's source package, for the builds whose compiler has no Debian
# library of it: the Windows program (linked in, so the exe imports system DLLs only) and the page.
# ./rivodiv.sh unpacks the package (apt-get source lcms2) into build/src; nothing of it is kept in
# the repository. The files are the library's own (src/*.c), without its plug-ins and tools.
enable_language(C)

set(RIVODIV_LCMS2_SOURCE "${PROJECT_SOURCE_DIR}/build/src/lcms2-${RIVODIV_LCMS2_VERSION}"
    CACHE PATH "Unpacked Debian lcms2 source package")
set(_lcms2_header "${RIVODIV_LCMS2_SOURCE}/include/lcms2.h")
if(NOT EXISTS "${_lcms2_header}")
  message(FATAL_ERROR "No Little CMS source at ${RIVODIV_LCMS2_SOURCE}: ./rivodiv.sh windows (or web) "
                      "fetches it, or run `apt-get source lcms2` in ${PROJECT_SOURCE_DIR}/build/src "
                      "(needs a deb-src entry and dpkg-dev)")
endif()
string(REPLACE "." "" _lcms2_number "${RIVODIV_LCMS2_VERSION}0")
file(STRINGS "${_lcms2_header}" _lcms2_version REGEX "^#define LCMS_VERSION ")
if(NOT _lcms2_version MATCHES " ${_lcms2_number}$")
  message(FATAL_ERROR "${_lcms2_header} is not Little CMS ${RIVODIV_LCMS2_VERSION}: ${_lcms2_version}")
endif()

set(_lcms2_files cmsalpha cmscam02 cmscgats cmscnvrt cmserr cmsgamma cmsgmt cmshalf cmsintrp cmsio0 cmsio1
    cmslut cmsmd5 cmsmtrx cmsnamed cmsopt cmspack cmspcs cmsplugin cmsps2 cmssamp cmssm cmstypes cmsvirt
    cmswtpnt cmsxform)
list(TRANSFORM _lcms2_files PREPEND "${RIVODIV_LCMS2_SOURCE}/src/")
list(TRANSFORM _lcms2_files APPEND ".c")
add_library(rivodiv_lcms2 STATIC ${_lcms2_files})
target_include_directories(rivodiv_lcms2 SYSTEM PUBLIC "${RIVODIV_LCMS2_SOURCE}/include")
set_target_properties(rivodiv_lcms2 PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF C_VISIBILITY_PRESET hidden)
if(EMSCRIPTEN)
  # The page's workers run one conversion each, single-threaded: no mutexes.
  target_compile_definitions(rivodiv_lcms2 PRIVATE CMS_NO_PTHREADS)
endif()
# The library's own optimisation; its code is not held to the project's warnings.
target_compile_options(rivodiv_lcms2 PRIVATE -O2 -w)
add_library(lcms2::lcms2 ALIAS rivodiv_lcms2)
