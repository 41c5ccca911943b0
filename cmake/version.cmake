# Writes OUTPUT, a header with the project version and the git hash of SOURCE_DIR, run at every
# build so that a reused build folder carries the hash of what it builds. The file is rewritten
# only when it changes, so an unchanged hash rebuilds nothing.
# cmake -DSOURCE_DIR=... -DOUTPUT=... -DVERSION=x.y[.z] -P version.cmake
set(hash "unknown")
find_program(GIT git)
if(GIT)
  execute_process(COMMAND ${GIT} rev-parse --show-toplevel --short HEAD
                  WORKING_DIRECTORY ${SOURCE_DIR} RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  # Only the source folder's own checkout counts: a tarball unpacked inside some other
  # repository must not take that repository's hash.
  if(rc EQUAL 0)
    string(REPLACE "\n" ";" out "${out}")
    list(GET out 0 top)
    list(GET out 1 short)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE_DIR}" src)
    if(top STREQUAL src)
      set(hash "${short}")
    endif()
  endif()
endif()

string(REPLACE "." ";" parts "${VERSION}.0.0.0")
list(GET parts 0 major)
list(GET parts 1 minor)
list(GET parts 2 patch)
set(text "// Generated at build time by cmake/version.cmake.
#define KMV_VERSION_MAJOR ${major}
#define KMV_VERSION_MINOR ${minor}
#define KMV_VERSION_PATCH ${patch}
#define KMV_VERSION_STRING \"${VERSION}\"
#define KMV_BUILD_HASH \"${hash}\"
#define KMV_PRODUCT_VERSION_STRING \"${VERSION}+${hash}\"
")
set(old "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUTPUT} "${text}")
endif()
