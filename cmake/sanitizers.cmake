# Sanitizers for every target of the build, named by KIV_SANITIZE as
# -fsanitize= takes them: "address,undefined", "thread", or empty for none.
# The fuzz targets (KIV_BUILD_FUZZ) add libFuzzer's coverage instrumentation
# to everything they link; only they link libFuzzer itself.
#
# Sets KIV_SANITIZE_COMPILE_FLAGS and KIV_SANITIZE_LINK_FLAGS (what a program
# built against these libraries needs too), and KIV_NO_UNDEFINED.
set(KIV_SANITIZE "" CACHE STRING
    "Sanitizers to build with, as -fsanitize= takes them (address,undefined or thread); empty for none")
set_property(CACHE KIV_SANITIZE PROPERTY STRINGS "" "address,undefined" "address" "undefined" "thread")

set(KIV_SANITIZE_COMPILE_FLAGS "")
set(KIV_SANITIZE_LINK_FLAGS "")
if(KIV_SANITIZE)
  string(REPLACE "," ";" kiv_sanitizers "${KIV_SANITIZE}")
  foreach(sanitizer IN LISTS kiv_sanitizers)
    if(NOT sanitizer MATCHES "^(address|undefined|thread)$")
      message(FATAL_ERROR "KIV_SANITIZE: unknown sanitizer \"${sanitizer}\" "
                          "(address, undefined and thread are known)")
    endif()
  endforeach()
  if("thread" IN_LIST kiv_sanitizers AND NOT KIV_SANITIZE STREQUAL "thread")
    message(FATAL_ERROR "KIV_SANITIZE: thread does not combine with other sanitizers")
  endif()
  list(APPEND KIV_SANITIZE_COMPILE_FLAGS -fsanitize=${KIV_SANITIZE} -fno-omit-frame-pointer)
  if(NOT KIV_SANITIZE STREQUAL "thread")
    # The first report ends the run, so that no test passes over one.
    list(APPEND KIV_SANITIZE_COMPILE_FLAGS -fno-sanitize-recover=all)
  endif()
  list(APPEND KIV_SANITIZE_LINK_FLAGS -fsanitize=${KIV_SANITIZE})
endif()
if(KIV_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KIV_BUILD_FUZZ needs clang (libFuzzer): use the fuzz preset")
  endif()
  list(APPEND KIV_SANITIZE_COMPILE_FLAGS -fsanitize=fuzzer-no-link)
endif()
add_compile_options(${KIV_SANITIZE_COMPILE_FLAGS})
add_link_options(${KIV_SANITIZE_LINK_FLAGS})

# Shared libraries resolve every symbol at link time, except under clang's
# sanitizers and coverage instrumentation, whose run time is linked into the
# executable only.
set(KIV_NO_UNDEFINED -Wl,--no-undefined)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND KIV_SANITIZE_COMPILE_FLAGS)
  set(KIV_NO_UNDEFINED "")
endif()
