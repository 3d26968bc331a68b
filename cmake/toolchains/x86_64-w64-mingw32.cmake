# 64-bit Windows: the same libraries for 64-bit client programs, and the
# build whose tests run on machines that cannot run 32-bit programs.
set(KIV_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
