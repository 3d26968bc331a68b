# cmake -P script: writes the module-definition file of one DLL from the
# export table, the list of names that the export checks hold the header
# and the built DLL to.
#   -DLIBRARY=name -DOUT=name.def
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../declared_exports.cmake)
set(names ${KIV_TABLE_EXPORTS_${LIBRARY}})
if(NOT names)
  message(FATAL_ERROR "${KIV_EXPORT_TABLE} lists no export of ${LIBRARY}")
endif()
set(text "LIBRARY ${LIBRARY}.dll\nEXPORTS\n")
foreach(name IN LISTS names)
  string(APPEND text "  ${name}\n")
endforeach()
file(WRITE ${OUT}.tmp "${text}")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
