# The libraries' version is the project's: include/kiv_version.h spells it
# for C clients, and the configure step refuses a header that says otherwise,
# so that the header, the CMake package and the pkg-config files agree.
file(STRINGS ${PROJECT_SOURCE_DIR}/include/kiv_version.h KIV_VERSION_LINES
     REGEX "^#define KIV_VERSION_(MAJOR|MINOR|PATCH) +[0-9]+$")
foreach(part MAJOR MINOR PATCH)
  set(KIV_HEADER_VERSION_${part} "")
  foreach(line IN LISTS KIV_VERSION_LINES)
    if(line MATCHES "^#define KIV_VERSION_${part} +([0-9]+)$")
      set(KIV_HEADER_VERSION_${part} ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(NOT KIV_HEADER_VERSION_${part} STREQUAL PROJECT_VERSION_${part})
    message(FATAL_ERROR
      "include/kiv_version.h has KIV_VERSION_${part} \"${KIV_HEADER_VERSION_${part}}\", but the "
      "project's version is ${PROJECT_VERSION}: set the header's three numbers to the version "
      "in project() of CMakeLists.txt")
  endif()
endforeach()
# A changed header is checked again at the next build.
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/include/kiv_version.h)
