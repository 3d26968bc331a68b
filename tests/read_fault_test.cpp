// The service-list readers when reading their file fails or ends early.
// Real files do that only as special files, so the failures are injected
// through the platform layer's fault seam, which this test links together
// with the query library's objects (the shared library keeps its copy to
// itself).
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding.h"
#include "child_process.h"
#include "fault.h"
#include "kiv_svcquery.h"
#include "message_capture.h"
#include "platform.h"
#include "report_recorder.h"
#include "system_names.h"
#include "zlib_util.h"

namespace kiv::test {
namespace {

constexpr int32_t kDataFromFile = 304;
const std::vector<std::string> kReadFailed = {
    "Error: Failed to call ReadFile, in read_local_data_from_file()"};

void count_row(int32_t, char**, void**, void* rows) {
  ++*static_cast<int*>(rows);
}
void ignore_address(int32_t, char**, void**, void*) {}

class ServiceListReadFaults : public ::testing::Test {
 protected:
  // What the shared library's entry routine does when it is loaded.
  static void SetUpTestSuite() { svcquery::attach(); }
  static void TearDownTestSuite() { svcquery::detach(); }

  void SetUp() override {
    dir.write("list.dat",
              zlib_compress(R"({"err":1,"server":[{"id":1}],"serverType":[{"id":"1"}]})"));
    size = read_file(dir.file("list.dat")).size();
    ReportRecorder::take();
  }

  // One reader's call, with `read` (if any) armed during it alone.
  int32_t read_list(bool type_reader, const platform::fault::Failure* read = nullptr) {
    const std::string path = dir.file("list.dat");
    std::optional<platform::fault::ScopedFault> fault;
    if (read != nullptr) fault.emplace(platform::fault::Call::kRead, *read);
    return type_reader ? get_servertype_from_file(path.c_str(), &rows, count_row, &err)
                       : get_data_from_file(path.c_str(), count_row, ignore_address, &rows, &err);
  }

  TempDir dir;
  size_t size = 0;
  MessageCapture log;
  int rows = 0;
  int32_t err = -7;  // untouched until a text has parsed
};

// A read that fails, and a file that holds less than its size: both give 7,
// and only the failed system call is reported.
TEST_F(ServiceListReadFaults, FailedOrShortReadGives7UnderTheReadingRoutinesNumber) {
  ASSERT_GT(size, 2u);
  for (const bool type_reader : {false, true}) {
    SCOPED_TRACE(type_reader ? "type reader" : "server reader");
    // Undisturbed, the same file reads whole.
    ASSERT_EQ(read_list(type_reader), 0);
    EXPECT_EQ(rows, 1);
    EXPECT_TRUE(log.messages().empty());

    rows = 0;
    const platform::fault::Failure failed{.error = kErrorInvalidArgument};
    EXPECT_EQ(read_list(type_reader, &failed), 7);
    EXPECT_EQ(log.messages(), kReadFailed);
    EXPECT_EQ(ReportRecorder::take(),
              (std::vector<RecordedReport>{
                  {3, kDataFromFile, kErrorInvalidArgument, "ReadFile", std::nullopt}}));

    SCOPED_TRACE("short");
    log.clear();
    err = -7;
    // Half the file, then the end of it.
    const platform::fault::Failure cut{.after_bytes = size / 2};
    EXPECT_EQ(read_list(type_reader, &cut), 7);
    EXPECT_EQ(err, -7);
    EXPECT_EQ(log.messages(), kReadFailed);
    // No system call failed, so there is no error number to report.
    EXPECT_TRUE(ReportRecorder::take().empty());
    EXPECT_EQ(rows, 0);
    log.clear();
  }
}

}  // namespace
}  // namespace kiv::test
