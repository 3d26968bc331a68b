# Reading the public headers: the names they declare as exports, and the
# declarations that lack the calling convention. Included by the export
# checks of both builds (check_windows_binaries.cmake, tests/check_exports.cmake).

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

# The three libraries, each with the public header that declares its exports
# and the header's export macro: "name|header (from the source folder)|macro".
set(KIV_LIBRARY_HEADERS
  "kiv_clientlog|clientlog/kiv_clientlog.h|KIV_CLIENTLOG_API"
  "kiv_logsend|include/kiv_logsend.h|KIV_LOGSEND_API"
  "kiv_svcquery|include/kiv_svcquery.h|KIV_SVCQUERY_API")
