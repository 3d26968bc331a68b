# Every header of the tree has a file name of its own: an include then finds
# the same file whatever the order of a target's include folders.
file(GLOB_RECURSE kiv_headers RELATIVE ${PROJECT_SOURCE_DIR}
  ${PROJECT_SOURCE_DIR}/include/*.h ${PROJECT_SOURCE_DIR}/clientlog/*.h
  ${PROJECT_SOURCE_DIR}/text/*.h ${PROJECT_SOURCE_DIR}/platform/*.h
  ${PROJECT_SOURCE_DIR}/svcquery/*.h ${PROJECT_SOURCE_DIR}/logsend/*.h
  ${PROJECT_SOURCE_DIR}/tools/*.h ${PROJECT_SOURCE_DIR}/tests/*.h
  ${PROJECT_SOURCE_DIR}/bench/*.h ${PROJECT_SOURCE_DIR}/fuzz/*.h)
set(kiv_seen "")
foreach(header IN LISTS kiv_headers)
  get_filename_component(name ${header} NAME)
  if(name IN_LIST kiv_seen)
    message(FATAL_ERROR "Two headers are named ${name}, one of them ${header}: rename one")
  endif()
  list(APPEND kiv_seen ${name})
endforeach()
