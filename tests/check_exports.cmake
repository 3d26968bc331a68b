cmake_minimum_required(VERSION 3.25)
# Each library exports exactly its C functions and nothing of its
# implementation, and its header declares exactly those, each with the
# pinned calling convention (as are the header's function-pointer types).
# Run as: cmake -DNM=... -DLIB_DIR=... -DSOURCE_DIR=... -P check_exports.cmake
set(expected_kiv_clientlog kiv_set_message_handler kiv_show_message)
set(expected_kiv_logsend
  break_report bug_report client_operate_report kiv_disconnect_report link_report
  login_state_report open_login_report)
set(expected_kiv_svcquery
  check_hangup_from_service get_areadelay_from_server get_data_from_file
  get_gameprocess_from_server get_gameroute_from_server get_kiv_adLink_from_service
  get_kiv_client_title_from_service get_local_ip_from_service get_loginvpn_from_service
  get_serverdelay_from_server get_servertype_from_file get_usertypelist_from_server
  get_verification_from_service get_vpn_info http_access_protocol1 http_access_protocol2
  save_game_route_info)

include(${CMAKE_CURRENT_LIST_DIR}/../cmake/declared_exports.cmake)
set(header_kiv_clientlog ${SOURCE_DIR}/clientlog/kiv_clientlog.h)
set(header_kiv_logsend ${SOURCE_DIR}/include/kiv_logsend.h)
set(header_kiv_svcquery ${SOURCE_DIR}/include/kiv_svcquery.h)
set(macro_kiv_clientlog KIV_CLIENTLOG_API)
set(macro_kiv_logsend KIV_LOGSEND_API)
set(macro_kiv_svcquery KIV_SVCQUERY_API)

set(failed FALSE)
foreach(library kiv_clientlog kiv_logsend kiv_svcquery)
  declared_exports(${header_${library}} ${macro_${library}} declared)
  set(expected ${expected_${library}})
  list(SORT expected)
  if(NOT declared STREQUAL expected)
    message(SEND_ERROR "${header_${library}} declares\n  ${declared}\nexpected\n  ${expected}")
    set(failed TRUE)
  endif()
  declarations_without_convention(${header_${library}} ${macro_${library}} unpinned)
  if(unpinned)
    message(SEND_ERROR "${header_${library}}: without KIV_CALL:\n  ${unpinned}")
    set(failed TRUE)
  endif()
endforeach()

foreach(library kiv_clientlog kiv_logsend kiv_svcquery)
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
    message(SEND_ERROR "lib${library}.so exports\n  ${symbols}\nexpected\n  ${expected}")
    set(failed TRUE)
  endif()
endforeach()
if(NOT failed)
  message(STATUS "every library exports exactly its functions")
endif()
