# Checks of the Windows cross build, run as part of it: the DLLs export
# exactly the functions their headers declare, under plain names, and need no
# DLL but the system's and each other; the query library has its DllMain and
# carries libcurl inside. The records' layouts need no check here: kiv_svcquery.h
# checks them wherever it is compiled.
find_program(KIV_NM NAMES ${CMAKE_NM} ${KIV_MINGW_TRIPLE}-nm REQUIRED)
find_program(KIV_WINDOWS_OBJDUMP NAMES ${CMAKE_OBJDUMP} ${KIV_MINGW_TRIPLE}-objdump REQUIRED)

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
    -P ${PROJECT_SOURCE_DIR}/cmake/check_windows_binaries.cmake
  DEPENDS kiv_clientlog kiv_logsend kiv_svcquery ${PROJECT_SOURCE_DIR}/cmake/check_windows_binaries.cmake
    ${PROJECT_SOURCE_DIR}/cmake/declared_exports.cmake
  COMMENT "Checking the Windows DLLs"
  VERBATIM)
