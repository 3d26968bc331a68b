# Dependencies of a cross build (32-bit Windows from Linux). Programs that run
# during the build come from a native build of this project (KIV_HOST_BUILD_DIR).
# There are no Windows builds of libcurl, zlib and json-c here: their headers
# are copied from the native system, which is enough for json-c and zlib
# (bound at run time) and lets the query library compile without being linked.
set(KIV_HOST_BUILD_DIR "" CACHE PATH "A native build of this project, for its build-time programs")
if(NOT EXISTS "${KIV_HOST_BUILD_DIR}/host/kiv_host.cmake")
  message(FATAL_ERROR "A cross build needs KIV_HOST_BUILD_DIR: configure a native build first, "
                      "then pass its folder (it provides ${KIV_HOST_BUILD_DIR}/host/kiv_host.cmake)")
endif()
include(${KIV_HOST_BUILD_DIR}/host/kiv_host.cmake)
if(NOT KIV_SVCQUERY_OBJECTS_ONLY)
  message(FATAL_ERROR "There is no libcurl for the target to link the query library with: "
                      "configure with -DKIV_SVCQUERY_OBJECTS_ONLY=ON")
endif()

set(KIV_STAGED_HEADERS ${PROJECT_BINARY_DIR}/staged-headers)
file(REMOVE_RECURSE ${KIV_STAGED_HEADERS})
file(COPY ${KIV_HOST_CURL_INCLUDE_DIR}/curl DESTINATION ${KIV_STAGED_HEADERS})
file(COPY ${KIV_HOST_ZLIB_INCLUDE_DIR}/zlib.h ${KIV_HOST_ZLIB_INCLUDE_DIR}/zconf.h
  DESTINATION ${KIV_STAGED_HEADERS})
file(GLOB KIV_JSONC_HEADERS ${KIV_HOST_JSONC_INCLUDE_DIR}/*.h)
file(COPY ${KIV_JSONC_HEADERS} DESTINATION ${KIV_STAGED_HEADERS}/json-c)

set(ZLIB_INCLUDE_DIRS ${KIV_STAGED_HEADERS})
set(JSONC_INCLUDE_DIRS ${KIV_STAGED_HEADERS}/json-c ${KIV_STAGED_HEADERS})
add_library(CURL::libcurl INTERFACE IMPORTED)
target_include_directories(CURL::libcurl INTERFACE ${KIV_STAGED_HEADERS})
