# Fails when a file outside platform/ includes a header of the operating
# system: platform/ is the only door to it (its testing/ part serves the
# tests, benchmarks, fuzzers, probes and build tools), so that a port or a
# fault seam has one place to look at.
#
#   cmake -DKIV_SOURCE_DIR=<tree> -P check_system_headers.cmake
#
# A denylist of POSIX and Win32 headers: the C and C++ standard headers and
# the third-party libraries' own (zlib, json-c, cpp-httplib, GoogleTest, ...)
# are allowed everywhere. Compared without case, as Windows names them.
cmake_minimum_required(VERSION 3.20)

set(kiv_system_headers
  # POSIX and its common extensions
  unistd fcntl dlfcn signal poll iconv strings netdb pthread spawn termios pwd grp dirent
  syslog sched semaphore libgen glob fnmatch wordexp ifaddrs
  # Win32 and its C runtime's own
  windows winsock winsock2 ws2tcpip winver winbase winnt winuser shlwapi shlobj psapi
  tlhelp32 iphlpapi mswsock winternl io direct process conio)
set(kiv_system_folders sys arpa netinet net linux mach)

# The files that may include one: the query library's per-system entry
# routine (DllMain) and the Windows resource script.
set(kiv_exempt svcquery/entry.cpp cmake/windows/version.rc.in)


if(NOT KIV_SOURCE_DIR)
  message(FATAL_ERROR "KIV_SOURCE_DIR is not set")
endif()
list(JOIN kiv_system_headers "|" kiv_names)
list(JOIN kiv_system_folders "|" kiv_folders)
set(kiv_include "^[ \t]*#[ \t]*include[ \t]*<((${kiv_names})\\.h|(${kiv_folders})/[^>]*)>")

# The tree's own folders: not platform/, not build trees, not hidden ones.
file(GLOB kiv_top RELATIVE ${KIV_SOURCE_DIR} ${KIV_SOURCE_DIR}/*)
set(kiv_files "")
foreach(entry IN LISTS kiv_top)
  if(entry STREQUAL "platform" OR entry MATCHES "^(build|\\.)" OR
     NOT IS_DIRECTORY ${KIV_SOURCE_DIR}/${entry})
    continue()
  endif()
  file(GLOB_RECURSE found RELATIVE ${KIV_SOURCE_DIR}
    ${KIV_SOURCE_DIR}/${entry}/*.c ${KIV_SOURCE_DIR}/${entry}/*.cc
    ${KIV_SOURCE_DIR}/${entry}/*.cpp ${KIV_SOURCE_DIR}/${entry}/*.h
    ${KIV_SOURCE_DIR}/${entry}/*.hpp ${KIV_SOURCE_DIR}/${entry}/*.in
    ${KIV_SOURCE_DIR}/${entry}/*.rc)
  list(APPEND kiv_files ${found})
endforeach()

set(kiv_faults "")
foreach(file IN LISTS kiv_files)
  if(file IN_LIST kiv_exempt)
    continue()
  endif()
  file(STRINGS ${KIV_SOURCE_DIR}/${file} lines REGEX "#[ \t]*include")
  foreach(line IN LISTS lines)
    string(TOLOWER "${line}" lowered)
    if(lowered MATCHES "${kiv_include}")
      list(APPEND kiv_faults "${file}: <${CMAKE_MATCH_1}>")
    endif()
  endforeach()
endforeach()

if(kiv_faults)
  list(JOIN kiv_faults "\n  " listed)
  message(FATAL_ERROR "System headers included outside platform/ (reach the system through "
                      "platform/, or platform/testing/ for what only tests need):\n  ${listed}")
endif()
list(LENGTH kiv_files count)
message(STATUS "${count} files outside platform/ include no system header")
