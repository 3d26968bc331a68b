# Each public header compiles on its own, as a client's C or C++ source of
# any standard meets it, without a warning: one generated source per header and language
# includes the header alone (twice, for its include guard), built as part of
# the normal build.
set(KIV_PUBLIC_HEADERS
  ${PROJECT_SOURCE_DIR}/include/kiv_svcquery.h
  ${PROJECT_SOURCE_DIR}/include/kiv_logsend.h
  ${PROJECT_SOURCE_DIR}/include/kiv_version.h
  ${PROJECT_SOURCE_DIR}/clientlog/kiv_clientlog.h)

set(KIV_HEADER_CHECK_DIR ${PROJECT_BINARY_DIR}/header_check)
set(KIV_HEADER_CHECK_C "")
set(KIV_HEADER_CHECK_CXX "")
foreach(header IN LISTS KIV_PUBLIC_HEADERS)
  get_filename_component(name ${header} NAME_WE)
  get_filename_component(file ${header} NAME)
  # A declaration of its own: ISO C forbids an empty translation unit, which
  # a header of macros alone would leave.
  set(text "#include \"${file}\"\n#include \"${file}\"\ntypedef int ${name}_stands_alone;\n")
  file(CONFIGURE OUTPUT ${KIV_HEADER_CHECK_DIR}/${name}.c CONTENT "${text}")
  file(CONFIGURE OUTPUT ${KIV_HEADER_CHECK_DIR}/${name}.cpp CONTENT "${text}")
  list(APPEND KIV_HEADER_CHECK_C ${KIV_HEADER_CHECK_DIR}/${name}.c)
  list(APPEND KIV_HEADER_CHECK_CXX ${KIV_HEADER_CHECK_DIR}/${name}.cpp)
endforeach()

# Only the headers' own folders are searched, so a header that needs another
# one of ours must find it beside itself, as it does when installed. Every
# standard a client's compiler may hold to: C89 (as C90), C99, C11, C++98 and
# C++17, each pedantic.
foreach(check C:90 C:99 C:11 CXX:98 CXX:17)
  string(REPLACE ":" ";" check "${check}")
  list(GET check 0 language)
  list(GET check 1 standard)
  set(target kiv_header_check_${language}${standard})
  add_library(${target} OBJECT ${KIV_HEADER_CHECK_${language}})
  target_include_directories(${target} PRIVATE
    ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/clientlog)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -pedantic)
  set_target_properties(${target} PROPERTIES
    ${language}_STANDARD ${standard} ${language}_STANDARD_REQUIRED ON ${language}_EXTENSIONS OFF)
endforeach()

# The result codes in #if and switch, as C99 and as C++ built with the
# warnings a careful client turns on.
set(KIV_CODES_CHECK_CXX ${KIV_HEADER_CHECK_DIR}/result_codes.cpp)
configure_file(${PROJECT_SOURCE_DIR}/tests/compile/result_codes.c ${KIV_CODES_CHECK_CXX} COPYONLY)
add_library(kiv_codes_check_C OBJECT ${PROJECT_SOURCE_DIR}/tests/compile/result_codes.c)
add_library(kiv_codes_check_CXX OBJECT ${KIV_CODES_CHECK_CXX})
set_target_properties(kiv_codes_check_C PROPERTIES
  C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
set_target_properties(kiv_codes_check_CXX PROPERTIES
  CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)

# The C++ interface, header-only: every function instantiated, as C++17 and
# C++20, and once without exceptions.
foreach(variant cxx17 cxx20 cxx17_no_exceptions)
  add_library(kiv_hpp_check_${variant} OBJECT ${PROJECT_SOURCE_DIR}/tests/compile/kiv_hpp_use.cpp)
  string(REGEX MATCH "[0-9]+" standard ${variant})
  set_target_properties(kiv_hpp_check_${variant} PROPERTIES
    CXX_STANDARD ${standard} CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
endforeach()
target_compile_options(kiv_hpp_check_cxx17_no_exceptions PRIVATE -fno-exceptions)

foreach(target kiv_codes_check_C kiv_codes_check_CXX kiv_hpp_check_cxx17 kiv_hpp_check_cxx20
               kiv_hpp_check_cxx17_no_exceptions)
  target_include_directories(${target} PRIVATE
    ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/clientlog)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -pedantic)
endforeach()
foreach(target kiv_codes_check_CXX kiv_hpp_check_cxx17 kiv_hpp_check_cxx20
               kiv_hpp_check_cxx17_no_exceptions)
  target_compile_options(${target} PRIVATE -Wold-style-cast)
endforeach()
