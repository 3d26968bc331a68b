# Checks of the Windows cross build, run as part of it: the DLLs export
# exactly the functions their headers declare, under plain names, and need no
# DLL but the system's and each other; the query library's objects declare
# its exports and its DllMain the same way.
find_program(KIV_OBJCOPY NAMES ${CMAKE_OBJCOPY} ${KIV_MINGW_TRIPLE}-objcopy REQUIRED)
find_program(KIV_NM NAMES ${CMAKE_NM} ${KIV_MINGW_TRIPLE}-nm REQUIRED)
find_program(KIV_WINDOWS_OBJDUMP NAMES ${CMAKE_OBJDUMP} ${KIV_MINGW_TRIPLE}-objdump REQUIRED)

add_custom_target(kiv_windows_check ALL
  COMMAND ${CMAKE_COMMAND}
    -DOBJDUMP=${KIV_WINDOWS_OBJDUMP}
    -DOBJCOPY=${KIV_OBJCOPY}
    -DNM=${KIV_NM}
    -DWORK_DIR=${PROJECT_BINARY_DIR}/windows-check
    -DCLIENTLOG_DLL=$<TARGET_FILE:kiv_clientlog>
    -DCLIENTLOG_HEADER=${PROJECT_SOURCE_DIR}/clientlog/kiv_clientlog.h
    -DLOGSEND_DLL=$<TARGET_FILE:kiv_logsend>
    -DLOGSEND_HEADER=${PROJECT_SOURCE_DIR}/include/kiv_logsend.h
    "-DSVCQUERY_OBJECTS=$<TARGET_OBJECTS:kiv_svcquery>;$<TARGET_OBJECTS:kiv_svcquery_objects>"
    -DSVCQUERY_HEADER=${PROJECT_SOURCE_DIR}/include/kiv_svcquery.h
    -P ${PROJECT_SOURCE_DIR}/cmake/check_windows_binaries.cmake
  DEPENDS kiv_clientlog kiv_logsend kiv_svcquery kiv_svcquery_objects ${PROJECT_SOURCE_DIR}/cmake/check_windows_binaries.cmake
  COMMENT "Checking the Windows DLLs and objects"
  VERBATIM)
