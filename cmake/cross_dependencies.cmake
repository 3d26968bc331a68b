# Dependencies of the Windows cross builds. Programs that run during the
# build come from a native build of this project (KIV_HOST_BUILD_DIR); the
# libraries the DLLs, the tool and the tests link come from a prefix made by
# cmake/windows/build_dependencies.sh (KIV_WINDOWS_DEPS_DIR), under the same
# target names the native build gets from the system.
set(KIV_HOST_BUILD_DIR "" CACHE PATH "A native build of this project, for its build-time programs")
set(KIV_WINDOWS_DEPS_DIR "" CACHE PATH
    "The Windows dependencies, as built by cmake/windows/build_dependencies.sh")
if(NOT EXISTS "${KIV_HOST_BUILD_DIR}/host/kiv_host.cmake")
  message(FATAL_ERROR "A cross build needs KIV_HOST_BUILD_DIR: configure a native build first "
                      "(cmake --preset windows-host), then pass its folder; it provides "
                      "${KIV_HOST_BUILD_DIR}/host/kiv_host.cmake")
endif()
include(${KIV_HOST_BUILD_DIR}/host/kiv_host.cmake)

set(KIV_DEPS ${KIV_WINDOWS_DEPS_DIR})
if(NOT EXISTS "${KIV_DEPS}/stamp" OR NOT EXISTS "${KIV_DEPS}/lib/libcurl.a")
  message(FATAL_ERROR "No libcurl for the target in KIV_WINDOWS_DEPS_DIR (\"${KIV_DEPS}\"): "
                      "build the Windows dependencies first (./dev windows-deps, or "
                      "cmake/windows/build_dependencies.sh PREFIX TOOLCHAIN_FILE) and pass PREFIX")
endif()
list(PREPEND CMAKE_FIND_ROOT_PATH ${KIV_DEPS})

# libcurl, linked statically into the query library.
find_package(CURL CONFIG REQUIRED NO_DEFAULT_PATH PATHS ${KIV_DEPS}/lib/cmake/CURL)

# zlib: the DLL that is bound at run time and shipped; the tests and the tool
# link the static library, so that a stub zlib1.dll in the search path never
# stands in for their own.
set(ZLIB_INCLUDE_DIRS ${KIV_DEPS}/include)
add_library(ZLIB::ZLIB STATIC IMPORTED)
set_target_properties(ZLIB::ZLIB PROPERTIES
  IMPORTED_LOCATION ${KIV_DEPS}/lib/libz.a
  INTERFACE_INCLUDE_DIRECTORIES ${KIV_DEPS}/include)

# json-c: kiv_json.dll is bound at run time; the tool and the tests link the
# static library.
set(JSONC_INCLUDE_DIRS ${KIV_DEPS}/include/json-c ${KIV_DEPS}/include)
add_library(PkgConfig::JSONC STATIC IMPORTED)
set_target_properties(PkgConfig::JSONC PROPERTIES
  IMPORTED_LOCATION ${KIV_DEPS}/lib/libjson-c.a
  INTERFACE_INCLUDE_DIRECTORIES "${JSONC_INCLUDE_DIRS}")

# cpp-httplib as a header-only library over Winsock, and CLI11's headers.
add_library(PkgConfig::HTTPLIB INTERFACE IMPORTED)
set_target_properties(PkgConfig::HTTPLIB PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${KIV_DEPS}/include
  INTERFACE_LINK_LIBRARIES ws2_32)
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${KIV_DEPS}/include)

# The DLLs bound at run time, copied beside the libraries, as a client ships them.
set(KIV_WINDOWS_RUNTIME_DLLS ${KIV_DEPS}/bin/${KIV_JSON_LIBRARY_FILE}
                             ${KIV_DEPS}/bin/${KIV_ZLIB_LIBRARY_FILE})

# A path as the Windows programs of the build see it: Wine's drive Z: is the
# root of the file system.
function(kiv_target_path out path)
  set(${out} "Z:${path}" PARENT_SCOPE)
endfunction()

# Windows programs of the build (test discovery, the tests, the tool) run
# under Wine, in a prefix of the build's own: a 32-bit one for the 32-bit
# build, a 64-bit one (the wine64 loader) for the 64-bit build.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KIV_WINE_ARCH win64)
  find_program(KIV_WINE NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine)
else()
  set(KIV_WINE_ARCH win32)
  find_program(KIV_WINE wine)
endif()
if(KIV_WINE)
  set(KIV_WINE_PREFIX ${PROJECT_BINARY_DIR}/wine-prefix)
  set(KIV_WINE_LIBRARY_DIR ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/wine_run.sh.in
    ${PROJECT_BINARY_DIR}/wine-run @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/wine-run)
endif()
