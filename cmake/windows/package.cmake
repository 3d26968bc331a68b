# cmake -P script behind ./dev windows-package: makes the release archive of
# one Windows build and proves it complete.
#   -DBUILD_DIR=build-windows/ARCH  a built Windows tree
#   -DOUT_DIR=...                   where the archives go
#   -DNAME=kiv-VERSION-win32        the archive's name and its top folder
#   -DOBJCOPY=... -DOBJDUMP=...     the target's binutils
#   -DSOURCE_DIR=...                this project
#   -DLICENSES=name=file;...        the third-party licence texts
#   -DRUN=...                       optional: the build's wine-run (or a command
#                                   list that runs it elsewhere), to run the
#                                   unpacked kiv.exe demo
#   -DCLIENT=...                    optional, with RUN: the build's
#                                   msvc_client.exe, run from the unpacked bin/
#                                   against the unpacked kiv.exe
# Writes OUT_DIR/NAME.zip (bin/ include/ lib/ licenses/ README.txt, binaries
# stripped) and OUT_DIR/NAME-debug.zip (each binary's debug information, named
# by its debug link, for a debugger).
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}):\n${out}${err}")
  endif()
endfunction()

set(stage ${OUT_DIR}/${NAME})
set(debug ${OUT_DIR}/${NAME}-debug)
file(REMOVE_RECURSE ${stage} ${debug} ${OUT_DIR}/${NAME}.zip ${OUT_DIR}/${NAME}-debug.zip)
file(MAKE_DIRECTORY ${debug})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${stage})
# What a client's build needs is the import libraries and the headers; the
# CMake package of the installation is for MinGW builds and stays.

# ---- stripped binaries, their debug information beside ----------------------
file(GLOB binaries ${stage}/bin/*.dll ${stage}/bin/*.exe)
foreach(binary IN LISTS binaries)
  get_filename_component(file ${binary} NAME)
  run(${OBJCOPY} --only-keep-debug ${binary} ${debug}/${file}.debug)
  run(${OBJCOPY} --strip-debug --strip-unneeded ${binary})
  # The link is checked by the debugger against the debug file's checksum.
  run(${CMAKE_COMMAND} -E chdir ${debug} ${OBJCOPY} --add-gnu-debuglink=${file}.debug ${binary})
endforeach()

# ---- licences and the README -------------------------------------------------
file(MAKE_DIRECTORY ${stage}/licenses)
foreach(pair IN LISTS LICENSES)
  string(REGEX MATCH "^([^=]+)=(.+)$" ok "${pair}")
  if(NOT ok OR NOT EXISTS "${CMAKE_MATCH_2}")
    message(FATAL_ERROR "licence text missing: ${pair}")
  endif()
  file(COPY_FILE ${CMAKE_MATCH_2} ${stage}/licenses/${CMAKE_MATCH_1}.txt)
endforeach()
file(READ ${SOURCE_DIR}/cmake/windows/README-windows.txt readme)
string(REPLACE "\n" "\r\n" readme "${readme}")
file(WRITE ${stage}/README.txt "${readme}")

# ---- the archives --------------------------------------------------------------
run(${CMAKE_COMMAND} -E chdir ${OUT_DIR} ${CMAKE_COMMAND} -E tar cf ${NAME}.zip --format=zip ${NAME})
run(${CMAKE_COMMAND} -E chdir ${OUT_DIR} ${CMAKE_COMMAND} -E tar cf ${NAME}-debug.zip --format=zip
    ${NAME}-debug)

# ---- proof: unpacked into an empty folder, it holds all it needs -----------------
set(unpacked ${OUT_DIR}/${NAME}-check)
file(REMOVE_RECURSE ${unpacked})
file(MAKE_DIRECTORY ${unpacked})
run(${CMAKE_COMMAND} -E chdir ${unpacked} ${CMAKE_COMMAND} -E tar xf ${OUT_DIR}/${NAME}.zip)
set(root ${unpacked}/${NAME})
set(failures "")
foreach(file IN ITEMS
    bin/kiv_svcquery.dll bin/kiv_logsend.dll bin/kiv_clientlog.dll bin/kiv_json.dll
    bin/zlib1.dll bin/kiv.exe
    include/kiv_svcquery.h include/kiv_logsend.h include/kiv_clientlog.h include/kiv_version.h
    include/kiv.hpp
    lib/kiv_svcquery.lib lib/kiv_logsend.lib lib/kiv_clientlog.lib
    lib/kiv_svcquery.def lib/kiv_logsend.def lib/kiv_clientlog.def
    lib/libkiv_svcquery.dll.a lib/libkiv_logsend.dll.a lib/libkiv_clientlog.dll.a README.txt)
  if(NOT EXISTS ${root}/${file})
    list(APPEND failures "missing ${file}")
  endif()
endforeach()

# Every DLL that a file in bin/ imports is in bin/ or is one of Windows'.
include(${SOURCE_DIR}/cmake/windows/system_dlls.cmake)
file(GLOB shipped RELATIVE ${root}/bin ${root}/bin/*.dll)
string(TOLOWER "${shipped}" shipped)
file(GLOB binaries ${root}/bin/*.dll ${root}/bin/*.exe)
foreach(binary IN LISTS binaries)
  get_filename_component(file ${binary} NAME)
  execute_process(COMMAND ${OBJDUMP} -p ${binary} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  string(REGEX MATCHALL "DLL Name: [^\n]+" rows "${dump}")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^DLL Name: " "" import "${row}")
    string(TOLOWER "${import}" import)
    if(NOT import IN_LIST shipped AND NOT import IN_LIST KIV_SYSTEM_DLLS)
      list(APPEND failures "${file} imports ${import}, which is neither in bin/ nor Windows'")
    endif()
  endforeach()
  execute_process(COMMAND ${OBJDUMP} -h ${binary} OUTPUT_VARIABLE sections)
  if(sections MATCHES "\\.debug_info")
    list(APPEND failures "${file} still carries its debug information")
  endif()
  if(NOT EXISTS ${debug}/${file}.debug)
    list(APPEND failures "no debug file for ${file}")
  endif()
endforeach()

if(RUN)
  # Nothing but the unpacked folder: no library path, a folder of its own.
  set(work ${unpacked}/run)
  file(MAKE_DIRECTORY ${work})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env KIV_WINE_NO_LIBRARY_PATH=1
                          ${RUN} ${root}/bin/kiv.exe demo
                  WORKING_DIRECTORY ${work} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    list(APPEND failures "kiv.exe demo from the unpacked archive failed (${rc}):\n${out}${err}")
  else()
    string(REGEX MATCH "[^\n]*\n?$" last "${out}")
    message(STATUS "kiv.exe demo from the unpacked archive: ${last}")
  endif()
  # A client of Microsoft's toolchain beside the shipped DLLs (the only
  # file added to the unpacked folder), calling every kind of export.
  if(CLIENT)
    file(COPY ${CLIENT} DESTINATION ${root}/bin)
    get_filename_component(client ${CLIENT} NAME)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env KIV_WINE_NO_LIBRARY_PATH=1 KIV_LOG=off
                            ${RUN} ${root}/bin/${client} Z:${root}/bin/kiv.exe
                    WORKING_DIRECTORY ${work} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0 OR NOT out MATCHES "every check passed")
      list(APPEND failures "${client} beside the unpacked DLLs failed (${rc}):\n${out}${err}")
    else()
      message(STATUS "${client} beside the unpacked DLLs: every check passed")
    endif()
    file(REMOVE ${root}/bin/${client})
  endif()
else()
  message(STATUS "${NAME}: this machine cannot run its programs; the archive was checked statically")
endif()

file(SIZE ${OUT_DIR}/${NAME}.zip size)
math(EXPR kib "${size} / 1024")
if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "${NAME}.zip is not complete:\n  ${text}")
endif()
message(STATUS "${OUT_DIR}/${NAME}.zip (${kib} KiB): complete; debug information in ${NAME}-debug.zip")
