# Reading the public headers: the names they declare as exports, and the
# declarations that lack the calling convention, and the export table that
# both must agree with. Included by the export checks of both builds
# (check_windows_binaries.cmake, tests/check_exports.cmake), the
# module-definition writer and the configure step.

# Names that `header` declares with its export macro `macro`, sorted:
# "MACRO type KIV_CALL name(" (the convention may be missing; see below).
function(declared_exports header macro out)
  file(READ ${header} text)
  set(blank "[ \t\r\n]")
  set(word "[A-Za-z0-9_]+")
  string(REGEX MATCHALL "${macro}${blank}+${word}[ \t\r\n*]+(KIV_CALL${blank}+)?${word}${blank}*\\("
         found "${text}")
  set(names "")
  foreach(declaration IN LISTS found)
    string(REGEX REPLACE "^.*[ \t\r\n*](${word})${blank}*\\($" "\\1" name "${declaration}")
    list(APPEND names ${name})
  endforeach()
  list(SORT names)
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# Exports and function-pointer typedefs of `header` declared without
# KIV_CALL, the pinned calling convention: their first lines, in order.
function(declarations_without_convention header macro out)
  file(READ ${header} text)
  set(blank "[ \t\r\n]")
  set(word "[A-Za-z0-9_]+")
  string(REGEX MATCHALL "${macro}${blank}+${word}[ \t\r\n*]+${word}${blank}*\\(" exports "${text}")
  string(REGEX MATCHALL "typedef${blank}+[^;()]*\\([^;()]*\\*${blank}*${word}${blank}*\\)" pointers
         "${text}")
  set(missing "")
  foreach(declaration IN LISTS exports pointers)
    if(NOT declaration MATCHES "KIV_CALL")
      string(REGEX REPLACE "[\r\n].*$" "" line "${declaration}")
      list(APPEND missing "${line}")
    endif()
  endforeach()
  set(${out} ${missing} PARENT_SCOPE)
endfunction()

# The export table (exports/kiv_exports.inc), read once at inclusion:
#   KIV_EXPORT_TABLE                 the table's file
#   KIV_LIBRARY_HEADERS              "name|header (from the source folder)|macro" per library
#   KIV_TABLE_EXPORTS_<library>      the library's export names, sorted
#   KIV_TABLE_EXPORTS                every export's name, in the table's order
#   KIV_TABLE_PATHS                  the stand-in paths the exports ask, each once
set(KIV_EXPORT_TABLE ${CMAKE_CURRENT_LIST_DIR}/../exports/kiv_exports.inc)
get_filename_component(KIV_EXPORT_TABLE ${KIV_EXPORT_TABLE} ABSOLUTE)
file(STRINGS ${KIV_EXPORT_TABLE} kiv_table_rows REGEX "^KIV_(LIBRARY|EXPORT)\\(")
set(KIV_LIBRARY_HEADERS "")
set(KIV_TABLE_EXPORTS "")
set(KIV_TABLE_PATHS "")
foreach(row IN LISTS kiv_table_rows)
  if(row MATCHES "^KIV_LIBRARY\\(([A-Za-z0-9_]+), \"([^\"]+)\", ([A-Za-z0-9_]+), [0-9]+\\)$")
    list(APPEND KIV_LIBRARY_HEADERS "${CMAKE_MATCH_1}|${CMAKE_MATCH_2}|${CMAKE_MATCH_3}")
    set(KIV_TABLE_EXPORTS_${CMAKE_MATCH_1} "")
  elseif(row MATCHES "^KIV_EXPORT\\(([A-Za-z0-9_]+), ([A-Za-z0-9_]+), [0-9]+, [a-z_]+, \"([^\"]*)\"")
    list(APPEND KIV_TABLE_EXPORTS ${CMAKE_MATCH_1})
    if(NOT CMAKE_MATCH_3 STREQUAL "" AND NOT CMAKE_MATCH_3 IN_LIST KIV_TABLE_PATHS)
      list(APPEND KIV_TABLE_PATHS ${CMAKE_MATCH_3})
    endif()
    if(NOT DEFINED KIV_TABLE_EXPORTS_${CMAKE_MATCH_2})
      message(FATAL_ERROR "${KIV_EXPORT_TABLE}: ${CMAKE_MATCH_1} of an unlisted library ${CMAKE_MATCH_2}")
    endif()
    list(APPEND KIV_TABLE_EXPORTS_${CMAKE_MATCH_2} ${CMAKE_MATCH_1})
  else()
    message(FATAL_ERROR "${KIV_EXPORT_TABLE}: a row not in the table's form:\n  ${row}")
  endif()
endforeach()
foreach(entry IN LISTS KIV_LIBRARY_HEADERS)
  string(REGEX REPLACE "\\|.*$" "" kiv_table_library "${entry}")
  list(SORT KIV_TABLE_EXPORTS_${kiv_table_library})
endforeach()
unset(kiv_table_rows)
unset(kiv_table_library)
