// The answer-file writer with its file calls substituted: whichever step
// fails, the saved list stays byte for byte as it was and the new file is
// gone.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "message_capture.h"
#include "platform.h"
#include "transport.h"

namespace kiv::test {
namespace {

using platform::FileHandle;
using svcquery::transport::ListFileSystem;
using svcquery::transport::save_services_list_to_file;

#if defined(_WIN32)
constexpr int kDiskFull = 112;  // ERROR_DISK_FULL
#else
constexpr int kDiskFull = ENOSPC;
#endif

// Writes the first half, then fails as a full disk does.
bool write_half_then_fail(FileHandle file, const void* data, size_t count, size_t* done) noexcept {
  platform::write_file(file, data, count / 2, done);
  platform::set_last_error(kDiskFull);
  return false;
}
// Claims success for all but the last byte.
bool write_short(FileHandle file, const void* data, size_t count, size_t* done) noexcept {
  return platform::write_file(file, data, count - 1, done);
}
bool flush_fails(FileHandle) noexcept {
  platform::set_last_error(kDiskFull);
  return false;
}
bool replace_fails(const char*, const char*) noexcept {
  platform::set_last_error(kErrorAccessDenied);
  return false;
}
FileHandle create_fails(const char*) noexcept {
  platform::set_last_error(kErrorAccessDenied);
  return platform::kInvalidFile;
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST(ListWriter, AFailedStepKeepsTheOldListWholeAndLeavesNoNewFile) {
  TempDir dir;
  const std::string file = dir.file("list.dat");
  const std::string old_list(5000, 'o');
  std::string new_list(8000, '\0');
  for (size_t i = 0; i < new_list.size(); ++i) new_list[i] = static_cast<char>(i * 7);
  const std::string write_line = "Error: Failed to call WriteFile, in save_services_list_to_file()";

  ListFileSystem failing_create;
  failing_create.create_new = create_fails;
  ListFileSystem failing_write;
  failing_write.write = write_half_then_fail;
  ListFileSystem short_write;
  short_write.write = write_short;
  ListFileSystem failing_flush;
  failing_flush.flush = flush_fails;
  ListFileSystem failing_replace;
  failing_replace.replace = replace_fails;
  const struct {
    const char* what;
    const ListFileSystem& system;
    int32_t code;
    std::string message;
  } cases[] = {
      {"create", failing_create, 5,
       "Error: Failed to call CreateFileA(), in save_services_list_to_file()"},
      {"write part-way", failing_write, 210605, write_line},
      {"short write", short_write, 210605, write_line},
      {"flush", failing_flush, 210605,
       "Error: Failed to call FlushFileBuffers, in save_services_list_to_file()"},
      {"replace", failing_replace, 5,
       "Error: Failed to call MoveFileExA(), in save_services_list_to_file()"},
  };
  MessageCapture capture;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    dir.write("list.dat", old_list);
    capture.clear();
    EXPECT_EQ(save_services_list_to_file(file.c_str(), new_list.data(), new_list.size(), c.system),
              c.code);
    EXPECT_TRUE(read_file(file) == old_list);
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"list.dat"});
    EXPECT_EQ(capture.messages(), std::vector<std::string>{c.message});
  }

  // The undisturbed save replaces the list, and twice in a row as well.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(save_services_list_to_file(file.c_str(), new_list.data(), new_list.size()), 0);
    EXPECT_TRUE(read_file(file) == new_list);
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"list.dat"});
  }
}

}  // namespace
}  // namespace kiv::test
