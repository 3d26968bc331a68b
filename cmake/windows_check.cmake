# Checks of the Windows cross build, run as part of it: the DLLs export
# exactly the functions their headers declare, under plain names, and need no
# DLL but the system's and each other; the query library has its DllMain and
# carries libcurl inside.
find_program(KIV_NM NAMES ${CMAKE_NM} ${KIV_MINGW_TRIPLE}-nm REQUIRED)
find_program(KIV_WINDOWS_OBJDUMP NAMES ${CMAKE_OBJDUMP} ${KIV_MINGW_TRIPLE}-objdump REQUIRED)

get_target_property(KIV_SVCQUERY_SOURCES kiv_svcquery SOURCES)
if("record_layout_win32.cpp" IN_LIST KIV_SVCQUERY_SOURCES)
  set(KIV_LAYOUT_CHECKED TRUE)
else()
  set(KIV_LAYOUT_CHECKED FALSE)
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
    -DLAYOUT_CHECKED=${KIV_LAYOUT_CHECKED}
    -P ${PROJECT_SOURCE_DIR}/cmake/check_windows_binaries.cmake
  DEPENDS kiv_clientlog kiv_logsend kiv_svcquery ${PROJECT_SOURCE_DIR}/cmake/check_windows_binaries.cmake
  COMMENT "Checking the Windows DLLs"
  VERBATIM)
