cmake_minimum_required(VERSION 3.25)
# The shipped libraries carry only what they use: nothing of what the
# platform layer has for programs and tests alone (stop requests, the
# receiving end of UDP, guarded memory, the command line's text, the fault
# seam's arming). Their whole symbol tables are read, local symbols included.
# Run as: cmake -DDUMP="tool;args" -DLIBRARIES="file;file;..." -P check_library_contents.cmake
set(kiv_program_only
  catch_stop_requests wait_for_stop_request command_line_code_page command_line_to_utf8
  receive_datagram udp_bound_socket set_receive_buffer UdpReceiver
  map_guarded unmap_guarded GuardedBlock
  ScopedFault armed_fails_now armed_bytes_through)
list(JOIN kiv_program_only "|" pattern)

set(failed FALSE)
foreach(library IN LISTS LIBRARIES)
  execute_process(COMMAND ${DUMP} ${library} OUTPUT_VARIABLE output ERROR_VARIABLE errors
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(SEND_ERROR "${DUMP} failed on ${library}: ${errors}")
    set(failed TRUE)
    continue()
  endif()
  string(REGEX MATCHALL "[^\n]*(${pattern})[^\n]*" found "${output}")
  if(found)
    list(JOIN found "\n  " found)
    message(SEND_ERROR "${library} carries what only programs and tests use:\n  ${found}")
    set(failed TRUE)
  endif()
endforeach()
if(NOT failed)
  message(STATUS "no library carries the programs' or the tests' platform code")
endif()
