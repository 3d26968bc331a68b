// The answer-file writer with its file calls made to fail: whichever step
// fails, the saved list stays byte for byte as it was and the new file is
// gone.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "fault.h"
#include "message_capture.h"
#include "platform.h"
#include "service_list.h"

namespace kiv::test {
namespace {

using platform::fault::Call;
using platform::fault::Failure;
using platform::fault::ScopedFault;
using svcquery::save_services_list_to_file;

#if defined(_WIN32)
constexpr int kDiskFull = 112;  // ERROR_DISK_FULL
#else
constexpr int kDiskFull = ENOSPC;
#endif

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

  const struct {
    const char* what;
    Call call;
    Failure failure;
    int32_t code;
    std::string message;
  } cases[] = {
      {"create",
       Call::kCreate,
       {.error = kErrorAccessDenied},
       5,
       "Error: Failed to call CreateFileA(), in save_services_list_to_file()"},
      // The first half is written, then the disk is full.
      {"write part-way",
       Call::kWrite,
       {.error = kDiskFull, .after_bytes = new_list.size() / 2},
       210605,
       write_line},
      // Success is claimed for all but the last byte.
      {"short write", Call::kWrite, {.after_bytes = new_list.size() - 1}, 210605, write_line},
      {"flush",
       Call::kFlush,
       {.error = kDiskFull},
       210605,
       "Error: Failed to call FlushFileBuffers, in save_services_list_to_file()"},
      {"replace",
       Call::kReplace,
       {.error = kErrorAccessDenied},
       5,
       "Error: Failed to call MoveFileExA(), in save_services_list_to_file()"},
  };
  MessageCapture capture;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    dir.write("list.dat", old_list);
    capture.clear();
    {
      const ScopedFault fault(c.call, c.failure);
      EXPECT_EQ(save_services_list_to_file(file.c_str(), new_list.data(), new_list.size()), c.code);
    }
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
