# What a cross build of this project takes from a native one: the programs
# that run during the build, and where the native system keeps the headers of
# the libraries that are bound or linked on the target (their interfaces are
# plain C and the same on every system).
set_target_properties(kiv_gbk_table_gen PROPERTIES EXPORT_NAME gbk_table_gen)
export(TARGETS kiv_gbk_table_gen NAMESPACE kiv_host::
  FILE ${PROJECT_BINARY_DIR}/host/kiv_host_tools.cmake)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/host/kiv_host.cmake CONTENT [[
# Written by the native build in @PROJECT_BINARY_DIR@.
include(${CMAKE_CURRENT_LIST_DIR}/kiv_host_tools.cmake)
set(KIV_HOST_CURL_INCLUDE_DIR "@CURL_INCLUDE_DIRS@")
set(KIV_HOST_ZLIB_INCLUDE_DIR "@ZLIB_INCLUDE_DIRS@")
set(KIV_HOST_JSONC_INCLUDE_DIR "@JSONC_INCLUDE_DIRS@")
]] @ONLY)
