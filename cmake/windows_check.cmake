# Checks of the Windows cross build, run as part of it: the DLLs are built
# for the build's architecture, carry the project's version resource, export
# exactly the functions their headers declare, under plain names, and need no
# DLL but the system's and each other; the query library has its DllMain and
# carries libcurl inside. The records' layouts need no check here: kiv_svcquery.h
# checks them wherever it is compiled.
find_program(KIV_NM NAMES ${CMAKE_NM} ${KIV_MINGW_TRIPLE}-nm REQUIRED)
find_program(KIV_WINDOWS_OBJDUMP NAMES ${CMAKE_OBJDUMP} ${KIV_MINGW_TRIPLE}-objdump REQUIRED)

# What the object files of each target are called, and how the C compiler
# spells a C function's symbol there: 32-bit Windows decorates with a leading
# underscore (and stdcall's @N), 64-bit Windows does not.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KIV_PE_FORMAT pei-x86-64)
  set(KIV_SYMBOL_PREFIX "")
  set(KIV_DLLMAIN_SYMBOL DllMain)
else()
  set(KIV_PE_FORMAT pei-i386)
  set(KIV_SYMBOL_PREFIX _)
  set(KIV_DLLMAIN_SYMBOL _DllMain@12)
endif()

add_custom_target(kiv_windows_check ALL
  COMMAND ${CMAKE_COMMAND}
    -DOBJDUMP=${KIV_WINDOWS_OBJDUMP}
    -DNM=${KIV_NM}
    -DCLIENTLOG_DLL=$<TARGET_FILE:kiv_clientlog>
    -DCLIENTLOG_HEADER=${PROJECT_SOURCE_DIR}/clientlog/kiv_clientlog.h
    -DLOGSEND_DLL=$<TARGET_FILE:kiv_logsend>
    -DLOGSEND_HEADER=${PROJECT_SOURCE_DIR}/include/kiv_logsend.h
    -DSVCQUERY_DLL=$<TARGET_FILE:kiv_svcquery>
    -DSVCQUERY_HEADER=${PROJECT_SOURCE_DIR}/include/kiv_svcquery.h
    -DPE_FORMAT=${KIV_PE_FORMAT}
    -DWINDRES=${CMAKE_RC_COMPILER}
    -DVERSION=${PROJECT_VERSION}
    -DSYMBOL_PREFIX=${KIV_SYMBOL_PREFIX}
    -DDLLMAIN_SYMBOL=${KIV_DLLMAIN_SYMBOL}
    -DTOOL_EXE=$<$<TARGET_EXISTS:kiv>:$<TARGET_FILE:kiv>>
    -P ${PROJECT_SOURCE_DIR}/cmake/check_windows_binaries.cmake
  # The DLLs' own symbol tables (objdump -t): nothing of the platform
  # layer's parts for programs and tests.
  COMMAND ${CMAKE_COMMAND} "-DDUMP=${KIV_WINDOWS_OBJDUMP};-t;-C"
    "-DLIBRARIES=$<TARGET_FILE:kiv_clientlog>;$<TARGET_FILE:kiv_logsend>;$<TARGET_FILE:kiv_svcquery>"
    -P ${PROJECT_SOURCE_DIR}/cmake/check_library_contents.cmake
  DEPENDS kiv_clientlog kiv_logsend kiv_svcquery ${PROJECT_SOURCE_DIR}/cmake/check_windows_binaries.cmake
    ${PROJECT_SOURCE_DIR}/cmake/check_library_contents.cmake
    ${PROJECT_SOURCE_DIR}/cmake/declared_exports.cmake ${PROJECT_SOURCE_DIR}/exports/kiv_exports.inc
  COMMENT "Checking the Windows DLLs"
  VERBATIM)
if(TARGET kiv)
  add_dependencies(kiv_windows_check kiv)
endif()
