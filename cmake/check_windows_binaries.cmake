# cmake -P script behind the kiv_windows_check target (see windows_check.cmake).
# Prints one line per check and a closing "N passed, N failed" line; fails
# when any check does.
cmake_minimum_required(VERSION 3.25)
# Results are kept in global properties so that checks may run at any depth.
set_property(GLOBAL PROPERTY kiv_passed 0)
set_property(GLOBAL PROPERTY kiv_failed 0)
set_property(GLOBAL PROPERTY kiv_failures "")

function(record ok what)
  if(${ok})
    get_property(n GLOBAL PROPERTY kiv_passed)
    math(EXPR n "${n} + 1")
    set_property(GLOBAL PROPERTY kiv_passed ${n})
    message(STATUS "ok    ${what}")
  else()
    get_property(n GLOBAL PROPERTY kiv_failed)
    math(EXPR n "${n} + 1")
    set_property(GLOBAL PROPERTY kiv_failed ${n})
    set_property(GLOBAL APPEND_STRING PROPERTY kiv_failures "\n  ${what}")
    message(STATUS "FAIL  ${what}")
  endif()
endfunction()

function(expect_equal actual expected what)
  if("${actual}" STREQUAL "${expected}")
    record(TRUE "${what}")
  else()
    record(FALSE "${what}\n    got      [${actual}]\n    expected [${expected}]")
  endif()
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/declared_exports.cmake)

function(run_tool out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE error RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}): ${error}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The export and import tables of a DLL, from `objdump -p`.
function(dll_tables dll exports_out imports_out)
  run_tool(dump ${OBJDUMP} -p ${dll})
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]*\n)*" table "${dump}")
  string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^\n]+" rows "${table}")
  set(exports "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\t\\[ *[0-9]+\\] " "" name "${row}")
    list(APPEND exports "${name}")
  endforeach()
  list(SORT exports)
  string(REGEX MATCHALL "DLL Name: [^\n]+" rows "${dump}")
  set(imports "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^DLL Name: " "" name "${row}")
    string(TOLOWER "${name}" name)
    list(APPEND imports "${name}")
  endforeach()
  list(SORT imports)
  set(${exports_out} ${exports} PARENT_SCOPE)
  set(${imports_out} ${imports} PARENT_SCOPE)
endfunction()

# System DLLs that every Windows from Windows 7 on has; anything else must be
# one of ours. libcurl brings winmm, crypt32 and bcrypt.
set(system_dlls kernel32.dll msvcrt.dll ws2_32.dll shlwapi.dll user32.dll advapi32.dll
                winmm.dll crypt32.dll bcrypt.dll)

function(check_dll label dll header macro allowed_own required_imports)
  declared_exports(${header} ${macro} declared)
  dll_tables(${dll} exports imports)
  list(LENGTH declared count)
  record(${count} "${label}: ${header} declares ${count} exports")
  expect_equal("${exports}" "${declared}"
               "${label}: exports exactly the declared names, undecorated")
  declarations_without_convention(${header} ${macro} unpinned)
  expect_equal("${unpinned}" "" "${label}: every export and callback type is declared KIV_CALL")
  set(unexpected "")
  foreach(import IN LISTS imports)
    if(NOT import IN_LIST system_dlls AND NOT import IN_LIST allowed_own)
      list(APPEND unexpected ${import})
    endif()
  endforeach()
  expect_equal("${unexpected}" "" "${label}: imports only system DLLs and ours [${imports}]")
  foreach(required IN LISTS required_imports)
    if(required IN_LIST imports)
      record(TRUE "${label}: imports ${required}")
    else()
      record(FALSE "${label}: imports ${required}")
    endif()
  endforeach()
endfunction()

check_dll(kiv_clientlog.dll ${CLIENTLOG_DLL} ${CLIENTLOG_HEADER} KIV_CLIENTLOG_API "" "")
check_dll(kiv_logsend.dll ${LOGSEND_DLL} ${LOGSEND_HEADER} KIV_LOGSEND_API
          "kiv_clientlog.dll" "kiv_clientlog.dll;ws2_32.dll;shlwapi.dll")

check_dll(kiv_svcquery.dll ${SVCQUERY_DLL} ${SVCQUERY_HEADER} KIV_SVCQUERY_API
          "kiv_clientlog.dll" "kiv_clientlog.dll")

# libcurl is linked in, not exported: no curl_ name in the export table
# (checked above), and none left undefined for a curl DLL to provide.
run_tool(symbols ${NM} -g ${SVCQUERY_DLL})
if(symbols MATCHES " T _DllMain@12\n")
  record(TRUE "kiv_svcquery.dll: defines the entry routine DllMain (_DllMain@12)")
else()
  record(FALSE "kiv_svcquery.dll: defines the entry routine DllMain (_DllMain@12)")
endif()
if(symbols MATCHES " T _curl_easy_perform\n")
  record(TRUE "kiv_svcquery.dll: carries libcurl inside")
else()
  record(FALSE "kiv_svcquery.dll: carries libcurl inside")
endif()

get_property(passed GLOBAL PROPERTY kiv_passed)
get_property(failed GLOBAL PROPERTY kiv_failed)
get_property(failures GLOBAL PROPERTY kiv_failures)
execute_process(COMMAND ${CMAKE_COMMAND} -E echo "windows-check: ${passed} passed, ${failed} failed")
if(failed GREATER 0)
  message(FATAL_ERROR "Windows build check failed:${failures}")
endif()
