cmake_minimum_required(VERSION 3.25)
# Each library exports exactly its C functions and nothing of its
# implementation, and its header declares exactly those, each with the
# pinned calling convention (as are the header's function-pointer types):
# the names of the export table, exports/kiv_exports.inc.
# Run as: cmake -DNM=... -DLIB_DIR=... -DSOURCE_DIR=... -P check_exports.cmake
# What each library exports comes from the export table; its header and the
# built library must both say the same.
include(${CMAKE_CURRENT_LIST_DIR}/declared_exports.cmake)
set(libraries "")
foreach(entry IN LISTS KIV_LIBRARY_HEADERS)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 library)
  list(GET entry 1 header)
  list(GET entry 2 macro)
  list(APPEND libraries ${library})
  set(header_${library} ${SOURCE_DIR}/${header})
  set(macro_${library} ${macro})
  set(expected_${library} ${KIV_TABLE_EXPORTS_${library}})
endforeach()

set(failed FALSE)
foreach(library IN LISTS libraries)
  declared_exports(${header_${library}} ${macro_${library}} declared)
  set(expected ${expected_${library}})
  list(SORT expected)
  if(NOT declared STREQUAL expected)
    message(SEND_ERROR
            "${header_${library}} declares\n  ${declared}\n${KIV_EXPORT_TABLE} lists\n  ${expected}")
    set(failed TRUE)
  endif()
  declarations_without_convention(${header_${library}} ${macro_${library}} unpinned)
  if(unpinned)
    message(SEND_ERROR "${header_${library}}: without KIV_CALL:\n  ${unpinned}")
    set(failed TRUE)
  endif()
endforeach()

foreach(library IN LISTS libraries)
  execute_process(
    COMMAND ${NM} -D --defined-only --format=just-symbols ${LIB_DIR}/lib${library}.so
    OUTPUT_VARIABLE output RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(SEND_ERROR "nm failed on lib${library}.so")
    continue()
  endif()
  string(REPLACE "\n" ";" symbols "${output}")
  list(FILTER symbols EXCLUDE REGEX "^$")
  # Sanitizer builds may add their own entry points; they are not the library's.
  list(FILTER symbols EXCLUDE REGEX "^(__asan|__ubsan|__tsan|__sanitizer|__lsan|_init$|_fini$)")
  list(SORT symbols)
  set(expected ${expected_${library}})
  list(SORT expected)
  if(NOT symbols STREQUAL expected)
    message(SEND_ERROR
            "lib${library}.so exports\n  ${symbols}\n${KIV_EXPORT_TABLE} lists\n  ${expected}")
    set(failed TRUE)
  endif()
endforeach()
if(NOT failed)
  message(STATUS "every library exports exactly its functions")
endif()
