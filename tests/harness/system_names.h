// Where the build puts its libraries, programs and stub libraries, by the
// names this system gives them, and how a child process's library search is
// set: LD_LIBRARY_PATH on Linux, PATH on Windows (whose loader looks in the
// program's own folder first, so the test programs live in a folder of their
// own and find the libraries through PATH).
#pragma once

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::test {

struct ChildOptions;

#if defined(_WIN32)
inline constexpr char kSearchPathVariable[] = "PATH";
inline constexpr char kSearchPathSeparator = ';';
#else
inline constexpr char kSearchPathVariable[] = "LD_LIBRARY_PATH";
inline constexpr char kSearchPathSeparator = ':';
#endif

// "kiv_svcquery" -> "libkiv_svcquery.so" or "kiv_svcquery.dll".
inline std::string library_file(std::string_view name) {
#if defined(_WIN32)
  return std::string(name) + ".dll";
#else
  return "lib" + std::string(name) + ".so";
#endif
}

// A library of this build, by its base name ("kiv_svcquery").
inline std::string built_library(std::string_view name) {
  return std::string(KIV_TEST_LIB_DIR) + "/" + library_file(name);
}

// "kiv" -> "kiv" or "kiv.exe".
inline std::string program_file(std::string_view name) {
#if defined(_WIN32)
  return std::string(name) + ".exe";
#else
  return std::string(name);
#endif
}

// A test program of this build (a probe), by its base name.
inline std::string test_program(std::string_view name) {
  return std::string(KIV_TEST_BIN_DIR) + "/" + program_file(name);
}

// A program this build ships (the tool), by its base name.
inline std::string built_program(std::string_view name) {
  return std::string(KIV_TEST_TOOL_DIR) + "/" + program_file(name);
}

// One of the stub-library folders (see tests/CMakeLists.txt).
inline std::string stub_folder(std::string_view name) {
  return std::string(KIV_TEST_STUB_DIR) + "/" + std::string(name);
}

// Error numbers as the platform layer reports them: errno on Linux,
// GetLastError on Windows.
#if defined(_WIN32)
inline constexpr int kErrorFileNotFound = 2;      // ERROR_FILE_NOT_FOUND
inline constexpr int kErrorPathNotFound = 3;      // ERROR_PATH_NOT_FOUND
inline constexpr int kErrorAccessDenied = 5;      // ERROR_ACCESS_DENIED
inline constexpr int kErrorInvalidArgument = 87;  // ERROR_INVALID_PARAMETER
inline constexpr int kErrorFileTooLarge = 223;    // ERROR_FILE_TOO_LARGE
#else
inline constexpr int kErrorFileNotFound = ENOENT;
inline constexpr int kErrorPathNotFound = ENOENT;  // one number for both
inline constexpr int kErrorAccessDenied = EACCES;
inline constexpr int kErrorInvalidArgument = EINVAL;
inline constexpr int kErrorFileTooLarge = EFBIG;
#endif

// Makes the child's library search begin with `folders`, then go on to what
// the system provides. Where the system has no json-c and zlib (Windows),
// the folder holding only the build's kiv_json.dll and zlib1.dll stands for
// it, so that the kiv libraries of the build are found only where a test
// names them (or beside the query library). No folders on Linux: the
// variable is removed.
void search_libraries_in(ChildOptions& options, const std::vector<std::string>& folders);

}  // namespace kiv::test
