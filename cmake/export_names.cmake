# declared_exports(HEADER MACRO OUT): the names of the functions that a
# public header declares with its export macro, sorted. A declaration is a
# line that begins with the macro; the name is the last word before its "(",
# whatever return type and calling convention stand between.
function(declared_exports header macro out)
  file(READ ${header} text)
  set(word "[A-Za-z_][A-Za-z0-9_]*")
  string(REGEX MATCHALL "\n${macro}[ \t][^;(#]*[ \t\r\n*]${word}[ \t\r\n]*\\(" found "\n${text}")
  set(names "")
  foreach(declaration IN LISTS found)
    string(REGEX REPLACE "^.*[ \t\r\n*](${word})[ \t\r\n]*\\($" "\\1" name "${declaration}")
    list(APPEND names ${name})
  endforeach()
  list(SORT names)
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# The three libraries, each with the public header that declares its exports
# and the header's export macro: "name|header (from the source folder)|macro".
set(KIV_LIBRARY_HEADERS
  "kiv_clientlog|clientlog/kiv_clientlog.h|KIV_CLIENTLOG_API"
  "kiv_logsend|include/kiv_logsend.h|KIV_LOGSEND_API"
  "kiv_svcquery|include/kiv_svcquery.h|KIV_SVCQUERY_API")
