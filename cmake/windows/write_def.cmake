# cmake -P script: writes the module-definition file of one DLL from its
# public header, the same list of names that the export checks use.
#   -DHEADER=... -DMACRO=... -DDLL=name.dll -DOUT=name.def
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../declared_exports.cmake)
declared_exports(${HEADER} ${MACRO} names)
if(NOT names)
  message(FATAL_ERROR "${HEADER} declares no function with ${MACRO}")
endif()
set(text "LIBRARY ${DLL}\nEXPORTS\n")
foreach(name IN LISTS names)
  string(APPEND text "  ${name}\n")
endforeach()
file(WRITE ${OUT}.tmp "${text}")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
