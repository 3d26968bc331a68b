// The cached service-list readers, fed with list files written here with
// zlib from JSON texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "kiv_svcquery.h"
#include "message_capture.h"
#include "report_recorder.h"
#include "test_system.h"
#include "zlib_util.h"

namespace kiv::test {
namespace {

// "kiv sdk -- 调用参数出错" in GBK.
const std::string kParamText = "kiv sdk -- \xB5\xF7\xD3\xC3\xB2\xCE\xCA\xFD\xB3\xF6\xB4\xED";
// "用户验证失败！" in GBK.
const std::string kUserVerifyFailed = "\xD3\xC3\xBB\xA7\xD1\xE9\xD6\xA4\xCA\xA7\xB0\xDC\xA3\xA1";
const std::string kUncompressLine = "Error: Failed to call uncompress, in get_data_from_file()1";

constexpr int32_t kDataFromFile = 304;
constexpr int32_t kServerTypeFromFile = 311;
constexpr size_t kTextCapacity = 30720;

// One callback call as the test saw it, every value rendered as text.
struct Row {
  std::string kind;  // "server", "ip" or "type"
  std::vector<std::string> names;
  std::vector<std::string> values;
  void* fourth = nullptr;       // the context, or an ip row's slot address
  void* slot_before = nullptr;  // ip rows: what the slot held when the call came
};

std::vector<Row>* g_rows = nullptr;
// The default address callback leaves &g_marks[n] in the slot at its n-th call.
int g_marks[64];
int g_ip_calls = 0;

// Field kinds by position: i integer, f float, t text, s the address slot.
constexpr char kServerKinds[] = "iiiiistiittfft";
constexpr char kAddressKinds[] = "tiii";
constexpr char kTypeKinds[] = "ttti";

std::string render(char kind, void* value) {
  char text[64];
  switch (kind) {
    case 'i':
      return std::to_string(*static_cast<int32_t*>(value));
    case 'f':
      std::snprintf(text, sizeof text, "%.9g", *static_cast<float*>(value));
      return text;
    case 't':
      return static_cast<char*>(value);
    default:
      if (value == nullptr) return "null";
      if (value >= static_cast<void*>(g_marks) && value < static_cast<void*>(g_marks + 64)) {
        return "mark:" + std::to_string(static_cast<int*>(value) - g_marks);
      }
      return "other";
  }
}

Row record(const char* kind, const char* kinds, int32_t count, char** names, void** values,
           void* fourth) {
  Row row{kind, {}, {}, fourth, nullptr};
  if (count != static_cast<int32_t>(std::strlen(kinds))) {
    ADD_FAILURE() << kind << " row with " << count << " fields";
    return row;
  }
  for (int32_t i = 0; i < count; ++i) {
    row.names.emplace_back(names[i]);
    row.values.push_back(render(kinds[i], values[i]));
  }
  return row;
}

void on_server(int32_t count, char** names, void** values, void* context) {
  g_rows->push_back(record("server", kServerKinds, count, names, values, context));
}

void on_address(int32_t count, char** names, void** values, void* slot) {
  Row row = record("ip", kAddressKinds, count, names, values, slot);
  row.slot_before = *static_cast<void**>(slot);
  g_rows->push_back(row);
  *static_cast<void**>(slot) = &g_marks[g_ip_calls++ % 64];
}

void on_type(int32_t count, char** names, void** values, void* context) {
  g_rows->push_back(record("type", kTypeKinds, count, names, values, context));
}

const std::vector<std::string> kServerNames = {
    "payId",       "product",   "serverId",   "area",       "charge",      "serverIp",    "userbw",
    "paramValue2", "maxOnline", "serverName", "serverType", "paramValue1", "userablePer", "msg"};
const std::vector<std::string> kAddressNames = {"ip", "net", "IPv6", "id"};
const std::vector<std::string> kTypeNames = {"id", "name", "pid", "level"};

class ServiceList : public ::testing::Test {
 protected:
  void SetUp() override {
    ReportRecorder::take();
    g_rows = &rows;
    g_ip_calls = 0;
  }
  void TearDown() override { g_rows = nullptr; }

  std::string write(const std::string& text) { return write_raw(zlib_compress(text)); }
  std::string write_raw(const std::string& bytes) {
    dir.write("list.dat", bytes);
    return dir.file("list.dat");
  }
  int32_t servers(const std::string& path) {
    return get_data_from_file(path.c_str(), on_server, on_address, &context, &err);
  }
  int32_t types(const std::string& path) {
    return get_servertype_from_file(path.c_str(), &context, on_type, &err);
  }
  std::vector<std::string> values_of(const std::string& kind, size_t field) const {
    std::vector<std::string> found;
    for (const Row& row : rows) {
      if (row.kind == kind) found.push_back(row.values.at(field));
    }
    return found;
  }

  TempDir dir;
  MessageCapture log;
  std::vector<Row> rows;
  int context = 0;
  int32_t err = -7;  // untouched until a text has parsed
};

TEST_F(ServiceList, WorkedExampleDeliversAddressesBeforeTheirServerUnderTheDeliveredNames) {
  const std::string path =
      write(R"({"err":1,"server":[{"id":5,"serverip":[{"ip":"192.0.2.1","net":1},)"
            R"({"ip":"192.0.2.2","IPv6":0,"net":2}],"serverName":"A"}]})");
  // The file is read as often as the client likes, with the same outcome.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    rows.clear();
    g_ip_calls = 0;
    err = -7;
    ASSERT_EQ(servers(path), 0);
    EXPECT_EQ(err, 1);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].kind, "ip");
    EXPECT_EQ(rows[0].names, kAddressNames);
    EXPECT_EQ(rows[0].values, (std::vector<std::string>{"192.0.2.1", "1", "0", "0"}));
    EXPECT_EQ(rows[0].slot_before, nullptr);
    EXPECT_EQ(rows[1].kind, "ip");
    EXPECT_EQ(rows[1].values, (std::vector<std::string>{"192.0.2.2", "2", "0", "0"}));
    EXPECT_EQ(rows[1].fourth, rows[0].fourth);
    EXPECT_EQ(rows[1].slot_before, &g_marks[0]);
    EXPECT_EQ(rows[2].kind, "server");
    EXPECT_EQ(rows[2].names, kServerNames);
    EXPECT_EQ(rows[2].values, (std::vector<std::string>{"0", "0", "5", "0", "0", "mark:1", "", "0",
                                                        "0", "A", "", "0", "0", ""}));
    EXPECT_EQ(rows[2].fourth, &context);
  }
  EXPECT_TRUE(log.messages().empty());
  EXPECT_TRUE(ReportRecorder::take().empty());
}

TEST_F(ServiceList, FieldsAreReadWithTheLibrarysConversionsAndCutToTheirBuffers) {
  const std::string ipv6 = "2001:0db8:85a3:0000:0000:8a2e:0370:7334";
  const std::string m(300, 'm');
  const std::string path =
      write(R"({"err":3,"server":[{"payId":7,"product":"12","id":9,"area":-3,"charge":true,)"
            R"("userbw":"100M","paramValue2":2147483647,"maxOnline":500,"serverName":"Relay",)"
            R"("serverType":42,"paramValue1":1.5,"userablePer":1e300,"msg":"hello"},)"
            R"({"userbw":")" +
            m + R"(","serverName":")" + m + R"(","serverType":")" + m + R"(","msg":")" + m +
            R"(","serverip":[{"ip":")" + ipv6 +
            R"("}]}],)"
            R"("serverType":[{"id":12,"name":"vip","pid":0,"level":"4"},)"
            R"({"id":"12345678901","name":")" +
            m + R"(","pid":")" + m + R"("}]})");
  ASSERT_EQ(servers(path), 0);
  EXPECT_EQ(err, 3);
  ASSERT_EQ(rows.size(), 3u);
  // A double beyond float's range arrives as an infinity, not as garbage.
  EXPECT_EQ(rows[0].values,
            (std::vector<std::string>{"7", "12", "9", "-3", "1", "null", "100M", "2147483647",
                                      "500", "Relay", "42", "1.5", "inf", "hello"}));
  EXPECT_EQ(rows[1].values[0], ipv6.substr(0, 16));
  EXPECT_EQ(rows[2].values[6], m.substr(0, 63));
  EXPECT_EQ(rows[2].values[9], m.substr(0, 63));
  EXPECT_EQ(rows[2].values[10], m.substr(0, 16));
  EXPECT_EQ(rows[2].values[13], m.substr(0, 127));
  rows.clear();
  ASSERT_EQ(types(path), 0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].names, kTypeNames);
  EXPECT_EQ(rows[0].values, (std::vector<std::string>{"12", "vip", "0", "4"}));
  EXPECT_EQ(rows[0].fourth, &context);
  EXPECT_EQ(rows[1].values,
            (std::vector<std::string>{"123456789", m.substr(0, 31), m.substr(0, 63), "4"}));
}

TEST_F(ServiceList, AbsentMembersKeepWhatThePreviousElementLeftAndTextsTurnEmpty) {
  const std::string path =
      write(R"({"err":1,"server":[{"payId":7,"product":2,"id":9,"area":3,"charge":true,)"
            R"("userbw":"u","paramValue2":4,"maxOnline":5,"serverName":"n","serverType":"t",)"
            R"("paramValue1":0.5,"userablePer":0.25,"msg":"m",)"
            R"("serverip":[{"ip":"192.0.2.1","net":3,"IPv6":1,"id":4}]},)"
            R"({"serverip":[{}]},{"payId":null,"serverip":[{"id":6,"net":8}]}],)"
            R"("serverType":[{"id":"1","name":"n","pid":"p","level":5},{},{"level":null}]})");
  ASSERT_EQ(servers(path), 0);
  const std::vector<std::string> kept = {"7", "2", "9", "3", "1",   "mark:1", "",
                                         "4", "5", "",  "",  "0.5", "0.25",   ""};
  ASSERT_EQ(values_of("server", 0).size(), 3u);
  for (const Row& row : rows) {
    if (row.kind != "server" || row.values[6] == "u") continue;
    std::vector<std::string> expected = kept;
    expected[5] = row.values[5];  // the slot is checked elsewhere
    EXPECT_EQ(row.values, expected);
  }
  // The address buffers are shared by all servers: "net" and "IPv6" carry
  // over across servers, "id" and "ip" do not.
  std::vector<std::vector<std::string>> addresses;
  for (const Row& row : rows) {
    if (row.kind == "ip") addresses.push_back(row.values);
  }
  EXPECT_EQ(addresses,
            (std::vector<std::vector<std::string>>{
                {"192.0.2.1", "3", "1", "4"}, {"", "3", "1", "0"}, {"", "8", "1", "6"}}));

  rows.clear();
  ASSERT_EQ(types(path), 0);
  EXPECT_EQ(values_of("type", 0), (std::vector<std::string>{"1", "", ""}));
  EXPECT_EQ(values_of("type", 2), (std::vector<std::string>{"p", "", ""}));
  EXPECT_EQ(values_of("type", 3), (std::vector<std::string>{"5", "5", "5"}));
}

// An address callback that builds a list of the server's addresses in the
// slot; the server callback takes the list over and frees it.
struct Address {
  std::string ip;
  Address* next;
};
std::vector<std::vector<std::string>> g_lists;
std::vector<void*> g_first_slot_values;
void* g_last_slot = nullptr;

void build_list(int32_t, char**, void** values, void* slot) {
  auto** head = static_cast<Address**>(slot);
  if (slot != g_last_slot) g_first_slot_values.push_back(*head);
  g_last_slot = slot;
  *head = new Address{static_cast<char*>(values[0]), *head};
}

void take_list(int32_t, char**, void** values, void*) {
  std::vector<std::string> ips;
  for (Address* node = static_cast<Address*>(values[5]); node != nullptr;) {
    ips.push_back(node->ip);
    delete std::exchange(node, node->next);
  }
  g_lists.push_back(ips);
  g_last_slot = nullptr;
}

TEST_F(ServiceList, AddressCallbacksBuildAListInTheServersSlot) {
  const std::string path =
      write(R"({"err":1,"server":[{"serverip":[{"ip":"a"},{"ip":"b"},{"ip":"c"}]},)"
            R"({"serverip":[null,{"ip":"d"}]},{"serverip":[]},{},{"serverip":{"ip":"x"}},)"
            R"({"serverip":null},{"serverip":["e",7,{"ip":"f"}]}]})");
  g_lists.clear();
  g_first_slot_values.clear();
  ASSERT_EQ(get_data_from_file(path.c_str(), take_list, build_list, &context, &err), 0);
  // Without addresses (empty, absent, not an array, null) the slot is null;
  // it is null again at every server's first address whatever came before.
  EXPECT_EQ(g_lists,
            (std::vector<std::vector<std::string>>{{"c", "b", "a"}, {"d"}, {}, {}, {}, {}, {"f"}}));
  EXPECT_EQ(g_first_slot_values, (std::vector<void*>{nullptr, nullptr, nullptr}));
}

TEST_F(ServiceList, NullAndNonObjectElementsAreSkippedAndANonArrayListIsEmpty) {
  struct Case {
    const char* text;
    std::vector<std::string> server_ids;  // "serverId" of each server row
    std::vector<std::string> type_ids;
  };
  const Case cases[] = {
      {R"({"err":1,"server":[null,5,"x",[1],{"id":1},null,{"id":2}],)"
       R"("serverType":[null,{"id":"a"},true,{"id":"b"}]})",
       {"1", "2"},
       {"a", "b"}},
      {R"({"err":1,"server":{"id":1},"serverType":{"id":"a"}})", {}, {}},
      {R"({"err":1,"server":5,"serverType":"abc"})", {}, {}},
      {R"({"err":1,"server":[],"serverType":[]})", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string path = write(c.text);
    rows.clear();
    err = -7;
    EXPECT_EQ(servers(path), 0);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(values_of("server", 2), c.server_ids);
    EXPECT_EQ(types(path), 0);
    EXPECT_EQ(values_of("type", 0), c.type_ids);
  }
  EXPECT_TRUE(log.messages().empty());
}

// A JSON text of exactly `size` bytes holding one server and one type.
std::string text_of_size(size_t size) {
  const std::string head = R"({"err":1,"server":[{"id":7}],"serverType":[{"id":"t"}],"pad":")";
  const std::string tail = "\"}";
  return head + std::string(size - head.size() - tail.size(), 'p') + tail;
}

TEST_F(ServiceList, TextFillingTheWholeBufferIsReadWithoutRunningPastIt) {
  const std::string path = write(text_of_size(kTextCapacity));
  EXPECT_EQ(servers(path), 0);
  EXPECT_EQ(values_of("server", 2), (std::vector<std::string>{"7"}));
  EXPECT_EQ(types(path), 0);
  EXPECT_EQ(values_of("type", 0), (std::vector<std::string>{"t"}));
}

// Failures, the same for both readers apart from the report's function number.
TEST_F(ServiceList, FailuresGiveTheirCodeMessageAndReportAndNoCallback) {
  enum Source { kText, kRaw, kMissing, kFolder };
  struct Case {
    const char* what;
    Source source;
    std::string content;
    int32_t code;
    std::string message;
    int32_t report_error;  // 0: no report
    const char* report_call;
    int32_t err_after;  // -7: left untouched
  };
  const Case cases[] = {
    {"missing file", kMissing, "", 4, "Error: Failed to call OpenFile, in get_data_from_file() ",
     kErrorFileNotFound, "OpenFile", -7},
#if defined(_WIN32)
    // Windows opens no folder as a file.
    {"folder", kFolder, "", 4, "Error: Failed to call OpenFile, in get_data_from_file() ",
     kErrorAccessDenied, "OpenFile", -7},
#else
    {"folder", kFolder, "", 8, "Error: Failed to call GetFileSize, in get_data_from_file ", EISDIR,
     "GetFileSize", -7},
#endif
    // Larger than any list the writer saves: refused before it is read.
    {"over 1 MiB", kRaw, std::string((size_t{1} << 20) + 1, 'x'), 7,
     "Error: Failed to call ReadFile, in read_local_data_from_file()", kErrorFileTooLarge,
     "ReadFile", -7},
    // zlib finds no stream at all: a data error, not a buffer error.
    {"zero bytes", kRaw, "", 102, kUncompressLine, 10997, "uncompress", -7},
    {"text over the bound", kText, text_of_size(kTextCapacity + 1), 102, kUncompressLine, 10995,
     "uncompress", -7},
    {"damaged stream", kRaw, "not a zlib stream", 102, kUncompressLine, 10997, "uncompress", -7},
    {"not JSON", kText, "this is not JSON", 114,
     "ERROR : Failed to call json_tokener_parser, in get_data_from_file()", 0, "", -7},
    {"err 0", kText, R"({"err":0,"server":[{"id":1}],"serverType":[{"id":"1"}]})", 115,
     kUserVerifyFailed, 0, "", 0},
    {"err absent", kText, R"({"server":[{"id":1}],"serverType":[{"id":"1"}]})", 115,
     kUserVerifyFailed, 0, "", 0},
    {"list absent", kText, R"({"err":2})", 116, "No service list", 0, "", 2},
    {"list null", kText, R"({"err":2,"server":null,"serverType":null})", 116, "No service list", 0,
     "", 2},
  };
  for (const Case& c : cases) {
    for (const bool type_reader : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (type_reader ? ", type reader" : ", server reader"));
      std::string path;
      switch (c.source) {
        case kText:
          path = write(c.content);
          break;
        case kRaw:
          path = write_raw(c.content);
          break;
        case kMissing:
          path = dir.file("absent.dat");
          break;
        case kFolder:
          path = dir.path();
          break;
      }
      rows.clear();
      log.clear();
      err = -7;
      EXPECT_EQ(type_reader ? types(path) : servers(path), c.code);
      EXPECT_EQ(err, c.err_after);
      EXPECT_TRUE(rows.empty());
      EXPECT_EQ(log.messages(), std::vector<std::string>{c.message});
      std::vector<RecordedReport> expected;
      if (c.report_error != 0) {
        expected.push_back({3, type_reader ? kServerTypeFromFile : kDataFromFile, c.report_error,
                            c.report_call, std::nullopt});
      }
      EXPECT_EQ(ReportRecorder::take(), expected);
      std::remove(dir.file("list.dat").c_str());
    }
  }
}

TEST_F(ServiceList, MissingFileNameOrContextIsAParameterErrorReportedUnderEachExport) {
  const std::string path = write(R"({"err":1,"server":[{"id":1}],"serverType":[{"id":"1"}]})");
  const char* const file_names[] = {nullptr, path.c_str(), nullptr};
  void* const contexts[] = {&context, nullptr, nullptr};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    log.clear();
    EXPECT_EQ(get_data_from_file(file_names[i], on_server, on_address, contexts[i], &err), 10003);
    EXPECT_EQ(get_servertype_from_file(file_names[i], contexts[i], on_type, &err), 10003);
    EXPECT_EQ(err, -7);
    EXPECT_TRUE(rows.empty());
    // Both readers log under the first reader's name but report under their own.
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"ERROR: PARAM, in get_data_from_file()",
                                                        "ERROR: PARAM, in get_data_from_file()"}));
    EXPECT_EQ(ReportRecorder::take(),
              (std::vector<RecordedReport>{
                  {3, kDataFromFile, 10003, "get_data_from_file", kParamText},
                  {3, kServerTypeFromFile, 10003, "get_servertype_from_file", kParamText}}));
  }
}

TEST_F(ServiceList, NullCallbacksOrErrValueAreParameterErrorsInsteadOfACrash) {
  const std::string path = write(R"({"err":1,"server":[{"id":1}],"serverType":[{"id":"1"}]})");
  const char* file = path.c_str();
  const int32_t codes[] = {
      get_data_from_file(file, nullptr, on_address, &context, &err),
      get_data_from_file(file, on_server, nullptr, &context, &err),
      get_data_from_file(file, on_server, on_address, &context, nullptr),
      get_servertype_from_file(file, &context, nullptr, &err),
      get_servertype_from_file(file, &context, on_type, nullptr),
  };
  for (const int32_t code : codes) EXPECT_EQ(code, 10003);
  EXPECT_EQ(err, -7);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(ReportRecorder::take().size(), 5u);
}

// A C++ client's callback that throws: the exception stops at the export,
// which releases what it took and returns a failure code.
void throwing_type(int32_t, char**, void**, void*) {
  throw std::bad_alloc();
}

// A list path longer than the 128 characters of OpenFile's own buffer is
// read whole: never cut to the name of another file that the cut would give.
TEST_F(ServiceList, ALongListPathIsReadWholeNotCutToAnotherFilesName) {
  const size_t name_length = 200 - std::min<size_t>(dir.path().size(), 60);
  const std::string long_name(name_length, 'n');
  const std::string long_path = dir.file(long_name);
  ASSERT_GT(long_path.size(), 128u);
  // The file a cut at 128 characters would name.
  const std::string cut_path = long_path.substr(0, 128);
  ASSERT_EQ(cut_path.rfind(dir.path() + "/", 0), 0u);
  dir.write(long_name, zlib_compress(R"({"err":1,"serverType":[{"id":"long"}]})"));
  dir.write(cut_path.substr(dir.path().size() + 1),
            zlib_compress(R"({"err":1,"serverType":[{"id":"cut"}]})"));
  EXPECT_EQ(types(long_path), 0);
  EXPECT_EQ(values_of("type", 0), std::vector<std::string>{"long"});
}

TEST_F(ServiceList, AnExceptionFromACallbackStopsAtTheExportWithCode1) {
#if defined(_WIN32)
  GTEST_SKIP() << "on Windows each module carries its own unwinder (the DLLs import only system "
                  "DLLs), so no C++ exception passes from a caller's callback into the DLL; "
                  "callbacks are C functions and must not throw";
#endif
  const std::string path = write(R"({"err":1,"serverType":[{"id":"1"},{"id":"2"}]})");
  EXPECT_EQ(get_servertype_from_file(path.c_str(), &context, throwing_type, &err), 1);
  EXPECT_TRUE(log.contains("Error: not enough memory, in get_servertype_from_file()"));
}

// A list path naming a FIFO or a device: opened without waiting for a writer
// and refused by its size, never read. Each read runs in a child process, so
// that a call that blocked would end at the child's time-out.
TEST(ServiceListSpecialFiles, AFifoOrADeviceIsRefusedByItsSizeWithoutBlocking) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows has neither FIFOs nor /dev/zero; the folder case, which it has, is "
                  "in FailuresGiveTheirCodeMessageAndReportAndNoCallback";
#else
  TempDir dir;
  const std::string fifo = dir.file("list.fifo");
  ASSERT_TRUE(kiv::platform::make_fifo(fifo.c_str()));
  for (const std::string& path : {fifo, std::string("/dev/zero")}) {
    for (const bool type_reader : {false, true}) {
      SCOPED_TRACE(path + (type_reader ? ", type reader" : ", server reader"));
      ChildOptions options;
      options.argv = {test_program("probe_service_list"), built_library("kiv_svcquery"),
                      type_reader ? "types" : "servers", path};
      options.env["KIV_TEST_REPORT_STDOUT"] = "1";
      options.timeout = std::chrono::seconds(20);
      search_libraries_in(options, {stub_folder("report_recorder")});
      const ChildResult child = run_child(options);
      EXPECT_FALSE(child.timed_out);
      EXPECT_EQ(child.out, "bug_report: 3|" +
                               std::to_string(type_reader ? kServerTypeFromFile : kDataFromFile) +
                               "|" + std::to_string(EINVAL) +
                               "|GetFileSize|(null)\nresult=8 err=-1 rows=0\n");
      EXPECT_NE(child.err.find("Error: Failed to call GetFileSize, in get_data_from_file \x1e"),
                std::string::npos)
          << child.err;
    }
  }
#endif
}

// A client program whose zlib or JSON library lacks an entry point the
// readers need: they fail before touching the file.
TEST(ServiceListBinding, UnboundLibrariesGive102Or114) {
  TempDir dir;
  dir.write("list.dat",
            zlib_compress(R"({"err":1,"server":[{"id":1}],"serverType":[{"id":"1"}]})"));
  struct Case {
    const char* stub_folder;
    const char* reader;
    std::string expected_out;
    std::string message;
  };
  const Case cases[] = {
      {"", "servers", "result=0 err=1 rows=1\n", ""},
      {"", "types", "result=0 err=1 rows=1\n", ""},
      {"zlib_without_uncompress", "servers", "result=102 err=-1 rows=0\n",
       "Error: zlib1.dll is not bound, in get_data_from_file()"},
      {"zlib_without_uncompress", "types", "result=102 err=-1 rows=0\n",
       "Error: zlib1.dll is not bound, in get_servertype_from_file()"},
      {"json_without_get_array", "servers", "result=114 err=-1 rows=0\n",
       "Error: kiv_json.dll is not bound, in get_data_from_file()"},
      {"json_without_get_array", "types", "result=114 err=-1 rows=0\n",
       "Error: kiv_json.dll is not bound, in get_servertype_from_file()"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.stub_folder) + " " + c.reader);
    ChildOptions options;
    options.argv = {test_program("probe_service_list"), built_library("kiv_svcquery"), c.reader,
                    dir.file("list.dat")};
    std::vector<std::string> search = {stub_folder("report_recorder")};
    if (c.stub_folder[0] != '\0') search.insert(search.begin(), stub_folder(c.stub_folder));
    search_libraries_in(options, search);
    const ChildResult child = run_child(options);
    EXPECT_EQ(child.exit_code, 0) << child.err;
    EXPECT_EQ(child.out, c.expected_out);
    if (!c.message.empty()) {
      EXPECT_NE(child.err.find(c.message + "\x1e"), std::string::npos) << child.err;
    }
  }
}

}  // namespace
}  // namespace kiv::test
