// Start-up binding, observed as a client program sees it: a separate process
// loads the query library with stub libraries in its search path. Also what
// the queries do when a binding failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "http_server.h"

namespace kiv::test {
namespace {

const std::string kLibrary = built_library("kiv_svcquery");

const std::string kJsonOk = "Success: Load kiv_json.dll";
const std::string kZlibOk = "Success: Load zlib1.dll";
std::string json_failed(int code) {
  return "Failed\xA3\xBA"
         "Load kiv_json.dll, cause " +
         std::to_string(code);
}
std::string zlib_failed(int code) {
  return "Failed\xA3\xBA"
         "Load zlib1.dll, errno: " +
         std::to_string(code);
}
std::string report_failed(int code) {
  return "Error: Failed to load log dll(kiv_logsend.dll, in kiv_dial.dll) ret = " +
         std::to_string(code) + "\n";
}

struct Load {
  std::vector<std::string> messages;
  ChildResult child;
};

// Loads `library` in a child process whose library search path starts with
// the given stub folders.
Load load(const std::string& library, const std::vector<std::string>& stub_folders, int times = 1) {
  std::vector<std::string> search;
  for (const auto& folder : stub_folders) search.push_back(stub_folder(folder));
  ChildOptions options;
  options.argv = {test_program("probe_load"), library, std::to_string(times)};
  options.env["KIV_TEST_REPORT_STDOUT"] = "1";
  search_libraries_in(options, search);
  Load result;
  result.child = run_child(options);
  result.messages = framed_messages(result.child.err);
  return result;
}

void expect_loaded(const Load& result) {
  EXPECT_EQ(result.child.exit_code, 0) << result.child.out << result.child.err;
  EXPECT_NE(result.child.out.find("loaded\n"), std::string::npos) << result.child.out;
  EXPECT_NE(result.child.out.find("unloaded\n"), std::string::npos) << result.child.out;
}

TEST(Startup, AllLibrariesPresentLogsTwoSuccessLinesAndNothingForTheReportLibrary) {
  const Load result = load(kLibrary, {"report_recorder"});
  expect_loaded(result);
  EXPECT_EQ(result.messages, (std::vector<std::string>{kJsonOk, kZlibOk}));
}

TEST(Startup, TheReportLibraryBesideTheQueryLibraryIsBound) {
  const Load result = load(kLibrary, {});
  expect_loaded(result);
  EXPECT_EQ(result.messages, (std::vector<std::string>{kJsonOk, kZlibOk}));
}

TEST(Startup, UnloadingReleasesTheBindingsAndALoadAfterwardsBindsAfresh) {
  const Load result = load(kLibrary, {"report_without_login_state"}, 2);
  expect_loaded(result);
  EXPECT_EQ(result.child.out, "loaded\nunloaded\nloaded\nunloaded\n");
  const std::vector<std::string> once = {kJsonOk, kZlibOk, report_failed(3)};
  std::vector<std::string> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(result.messages, twice);
}

TEST(Startup, JsonLibraryThatCannotBeLoadedGives116AndTheRestIsStillBound) {
  const Load result = load(kLibrary, {"json_absent", "report_recorder"});
  expect_loaded(result);
  EXPECT_EQ(result.messages, (std::vector<std::string>{json_failed(116), kZlibOk}));
}

TEST(Startup, JsonLibraryLackingAnEntryPointGives117) {
  const Load result = load(kLibrary, {"json_without_get_array", "report_recorder"});
  expect_loaded(result);
  EXPECT_EQ(result.messages, (std::vector<std::string>{json_failed(117), kZlibOk}));
}

TEST(Startup, ZlibLackingUncompressGives117) {
  const Load result = load(kLibrary, {"zlib_without_uncompress", "report_recorder"});
  expect_loaded(result);
  EXPECT_EQ(result.messages, (std::vector<std::string>{kJsonOk, zlib_failed(117)}));
}

TEST(Startup, EveryBindingFailingAtOnceStillLoadsTheLibrary) {
  const Load result = load(kLibrary, {"json_without_get_array", "zlib_without_uncompress",
                                      "report_without_login_state"});
  expect_loaded(result);
  EXPECT_EQ(result.messages,
            (std::vector<std::string>{json_failed(117), zlib_failed(117), report_failed(3)}));
}

TEST(Startup, ReportLibraryLackingLoginStateReportGives3) {
  const Load result = load(kLibrary, {"report_without_login_state"});
  expect_loaded(result);
  EXPECT_EQ(result.messages, (std::vector<std::string>{kJsonOk, kZlibOk, report_failed(3)}));
}

TEST(Startup, ReportLibraryAbsentFromTheLibraryFolderGives1) {
  // A copy of the query library alone in a folder: the report library is
  // looked for beside it and not found.
  TempDir folder;
  const std::string copy = folder.file(library_file("kiv_svcquery"));
  std::filesystem::copy_file(kLibrary, copy);
  const Load result = load(copy, {});
  expect_loaded(result);
  EXPECT_EQ(result.messages, (std::vector<std::string>{kJsonOk, kZlibOk, report_failed(1)}));
}

TEST(Startup, EveryLibraryIsFoundInTheProgramsOwnFolder) {
#if !defined(_WIN32)
  GTEST_SKIP() << "Linux's loader does not search a program's own folder";
#else
  // A client's folder: the program and the five DLLs, nothing on PATH.
  TempDir folder;
  const std::string program = folder.file("probe_load.exe");
  std::filesystem::copy_file(test_program("probe_load"), program);
  for (const char* name : {"kiv_svcquery", "kiv_logsend", "kiv_clientlog"}) {
    std::filesystem::copy_file(built_library(name), folder.file(library_file(name)));
  }
  for (const char* name : {"kiv_json.dll", "zlib1.dll"}) {
    std::filesystem::copy_file(std::string(KIV_TEST_SYSTEM_LIB_DIR) + "/" + name,
                               folder.file(name));
  }
  ChildOptions options;
  options.argv = {program, library_file("kiv_svcquery")};
  options.env[kSearchPathVariable] = folder.file("nothing-here");
  Load result;
  result.child = run_child(options);
  result.messages = framed_messages(result.child.err);
  expect_loaded(result);
  EXPECT_EQ(result.messages, (std::vector<std::string>{kJsonOk, kZlibOk}));
#endif
}

// Without a usable JSON library every query fails before it sends anything.
TEST(QueriesWithoutJson, EveryQueryFailsWithoutTrafficAndSaysWhy) {
  LoopbackHttpServer server;
  server.set_default_reply(json_reply(R"({"err":1})"));
  ChildOptions options;
  options.argv = {test_program("probe_queries"), std::to_string(server.port())};
  search_libraries_in(
      options, {stub_folder("json_absent"), stub_folder("report_recorder"), KIV_TEST_LIB_DIR});
  options.env["KIV_TEST_REPORT_STDOUT"] = "1";
  const ChildResult child = run_child(options);
  ASSERT_EQ(child.exit_code, 0) << child.out << child.err;
  EXPECT_EQ(child.out,
            "get_verification_from_service 114\n"
            "get_local_ip_from_service 101\n"
            "get_kiv_adLink_from_service 101\n"
            "get_kiv_client_title_from_service 101\n"
            "get_loginvpn_from_service 101\n"
            "check_hangup_from_service 101\n"
            "get_vpn_info 114\n"
            "get_gameroute_from_server 101\n"
            "get_usertypelist_from_server 101\n"
            "get_gameprocess_from_server 101\n"
            "get_serverdelay_from_server 101\n"
            "get_areadelay_from_server 101\n"
            "save_game_route_info 113\n");
  const std::vector<std::string> messages = framed_messages(child.err);
  const auto logged = [&](const std::string& line) {
    return std::find(messages.begin(), messages.end(), line) != messages.end();
  };
  for (const char* name : {"get_verification_from_service", "get_vpn_info",
                           "get_areadelay_from_server", "save_game_route_info"}) {
    EXPECT_TRUE(logged(std::string("ERROR: JSON library not bound, in ") + name + "()")) << name;
  }
  EXPECT_TRUE(logged("Entry get_loginvpn_from_service"));
  EXPECT_TRUE(logged("Exit get_loginvpn_from_service"));
  EXPECT_EQ(server.request_count(), 0u);
}

TEST(TransportWithoutUncompress, Protocol1Fails101BeforeAnyTrafficProtocol2StillWorks) {
  LoopbackHttpServer server;
  server.set_default_reply(Reply{200, "raw body", {}, ""});
  TempDir dir;
  ChildOptions options;
  options.argv = {test_program("probe_transport"), built_library("kiv_svcquery"),
                  std::to_string(server.port()), dir.file("list.dat")};
  search_libraries_in(options,
                      {stub_folder("zlib_without_uncompress"), stub_folder("report_recorder")});
  const ChildResult child = run_child(options);
  ASSERT_EQ(child.exit_code, 0) << child.out << child.err;
  EXPECT_EQ(child.out, "protocol1 101\nprotocol2 0\n");
  EXPECT_NE(child.err.find("Error: zlib1.dll is not loaded, in http_access_protocol1()"),
            std::string::npos);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/two");
  EXPECT_EQ(read_file(dir.file("list.dat")), "raw body");
}

}  // namespace
}  // namespace kiv::test
