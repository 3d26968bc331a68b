# Import libraries for Microsoft's linker (and lld-link): kiv_*.lib with the
# module-definition files they are made from, beside MinGW's lib*.dll.a. The
# names are the plain ones of the export table (which the build holds the
# headers and the DLLs to): every export is cdecl, which
# 32-bit Windows links as _name and the DLL exports as name.
include(${PROJECT_SOURCE_DIR}/cmake/declared_exports.cmake)
find_program(KIV_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KIV_DLLTOOL_MACHINE i386:x86-64)
else()
  set(KIV_DLLTOOL_MACHINE i386)
endif()
set(KIV_IMPORT_LIBRARY_DIR ${PROJECT_BINARY_DIR}/import-libraries)

set(KIV_IMPORT_LIBRARIES "")
foreach(entry IN LISTS KIV_LIBRARY_HEADERS)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 name)
  set(def ${KIV_IMPORT_LIBRARY_DIR}/${name}.def)
  set(lib ${KIV_IMPORT_LIBRARY_DIR}/${name}.lib)
  add_custom_command(OUTPUT ${def} ${lib}
    COMMAND ${CMAKE_COMMAND} -DLIBRARY=${name} -DOUT=${def}
            -P ${PROJECT_SOURCE_DIR}/cmake/windows/write_def.cmake
    COMMAND ${KIV_LLVM_DLLTOOL} -m ${KIV_DLLTOOL_MACHINE} -d ${def} -l ${lib}
    DEPENDS ${KIV_EXPORT_TABLE} ${PROJECT_SOURCE_DIR}/cmake/windows/write_def.cmake
            ${PROJECT_SOURCE_DIR}/cmake/declared_exports.cmake
    COMMENT "Writing ${name}.def and ${name}.lib"
    VERBATIM)
  list(APPEND KIV_IMPORT_LIBRARIES ${def} ${lib})
endforeach()
add_custom_target(kiv_import_libraries ALL DEPENDS ${KIV_IMPORT_LIBRARIES})
install(FILES ${KIV_IMPORT_LIBRARIES} DESTINATION ${CMAKE_INSTALL_LIBDIR})
