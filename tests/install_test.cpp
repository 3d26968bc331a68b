// The installed package, as a client program's build meets it: the libraries
// are installed into a temporary prefix, the example client is built out of
// tree from that prefix alone (once through the CMake package, once through
// pkg-config) and run against the stand-in web service and log server.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "kiv_version.h"
#include "standin.h"

namespace kiv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kExampleSource[] = KIV_TEST_SOURCE_DIR "/examples/vpn_client";
constexpr char kCppExampleSource[] = KIV_TEST_SOURCE_DIR "/examples/cpp_client";
// The build's own compiler flags (sanitizers included) go to the example too.
constexpr char kCFlags[] = "-Wall -Wextra -Werror " KIV_TEST_C_FLAGS;
constexpr char kCxxFlags[] = "-Wall -Wextra -Werror -Wold-style-cast " KIV_TEST_CXX_FLAGS;
constexpr char kLinkerFlags[] = KIV_TEST_EXE_LINKER_FLAGS;

std::string describe(const ChildResult& child) {
  return "exit " + std::to_string(child.exit_code) + ", signal " + std::to_string(child.signal) +
         (child.timed_out ? ", timed out" : "") + "\n--- out\n" + child.out + "\n--- err\n" +
         child.err;
}

ChildResult run(std::vector<std::string> argv, std::map<std::string, std::string> env = {},
                const std::string& cwd = {}) {
  ChildOptions options;
  options.argv = std::move(argv);
  options.env = std::move(env);
  options.cwd = cwd;
  options.unset_env = {"LD_LIBRARY_PATH", "LD_PRELOAD",       "KIV_LOG",
                       "MAKEFLAGS",       "MFLAGS",           "CMAKE_PREFIX_PATH",
                       "PKG_CONFIG_PATH", "PKG_CONFIG_LIBDIR"};
  options.timeout = 90s;
  return run_child(options);
}

class InstalledPackage : public ::testing::Test {
 protected:
  // Installed, then moved elsewhere: nothing may depend on where it was
  // installed first.
  static void SetUpTestSuite() {
    root_ = std::make_unique<TempDir>();
    install_ = run({KIV_TEST_CMAKE_COMMAND, "--install", KIV_TEST_BUILD_DIR, "--prefix",
                    root_->file("installed")});
    if (install_.exit_code == 0) fs::rename(root_->file("installed"), prefix());
  }
  static void TearDownTestSuite() { root_.reset(); }

  void SetUp() override {
    ASSERT_EQ(install_.exit_code, 0) << describe(install_);
    ASSERT_TRUE(fs::is_directory(prefix()));
  }

  static std::string prefix() { return root_->file("moved"); }
  static std::string libdir() { return prefix() + "/" KIV_TEST_INSTALL_LIBDIR; }

  // Runs the example against the stand-in web service, which knows the VPN
  // data, and its log server, named in ./loginurl.ini; checks what each saw.
  static void expect_example_runs(const std::string& program) {
    standin::Service service{standin::Options{}};
    service.set_answer("vpn_info",
                       R"({"VPNIP":"10.1.2.3","LocalOutIP":"192.0.2.7","VPNPort":1194})");
    TempDir folder;
    folder.write("loginurl.ini", "[LOG_SERVERS]\nlog_servers_dns=127.0.0.1\nlog_servers_port=" +
                                     std::to_string(service.udp_port()) + "\n");

    const ChildResult child =
        run({program, "127.0.0.1", std::to_string(service.http_port())}, {}, folder.path());
    ASSERT_EQ(child.exit_code, 0) << describe(child);
    EXPECT_NE(child.out.find("result=0\nVPNIP=10.1.2.3 LocalOutIP=192.0.2.7 VPNPort=1194\n"),
              std::string::npos)
        << child.out;
    // The installed query library found its run-time libraries, the report
    // library among them, from where it was installed.
    EXPECT_NE(child.err.find("Success: Load kiv_json.dll"), std::string::npos) << child.err;
    EXPECT_NE(child.err.find("Success: Load zlib1.dll"), std::string::npos) << child.err;
    EXPECT_EQ(child.err.find("Failed to load log dll"), std::string::npos) << child.err;

    const auto exchanges = service.take_exchanges();
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0].path, "/vpn_info");
    EXPECT_EQ(exchanges[0].request.value_or("<none>"), R"({"user":"example"})");
    EXPECT_EQ(exchanges[0].status, 200);

    const auto datagrams = service.wait_for_datagrams(1, 5s);
    ASSERT_EQ(datagrams.size(), 1u);
    ASSERT_TRUE(datagrams[0].record.has_value()) << datagrams[0].error;
    EXPECT_NE(datagrams[0].record->find(R"("act":"LinkService")"), std::string::npos)
        << *datagrams[0].record;
    EXPECT_NE(datagrams[0].record->find(R"("link_service_ip":"10.1.2.3")"), std::string::npos)
        << *datagrams[0].record;
  }

  static std::unique_ptr<TempDir> root_;
  static ChildResult install_;
};

std::unique_ptr<TempDir> InstalledPackage::root_;
ChildResult InstalledPackage::install_;

TEST_F(InstalledPackage, HoldsLibrariesHeadersAndPackageFiles) {
  const std::vector<std::string> files = {
      KIV_TEST_INSTALL_LIBDIR "/libkiv_svcquery.so",
      KIV_TEST_INSTALL_LIBDIR "/libkiv_logsend.so",
      KIV_TEST_INSTALL_LIBDIR "/libkiv_clientlog.so",
      "include/kiv_svcquery.h",
      "include/kiv_logsend.h",
      "include/kiv_clientlog.h",
      "include/kiv_version.h",
      "include/kiv.hpp",
      KIV_TEST_INSTALL_LIBDIR "/cmake/kiv/kivConfig.cmake",
      KIV_TEST_INSTALL_LIBDIR "/cmake/kiv/kivConfigVersion.cmake",
      KIV_TEST_INSTALL_LIBDIR "/pkgconfig/kiv-svcquery.pc",
      KIV_TEST_INSTALL_LIBDIR "/pkgconfig/kiv-logsend.pc",
      "bin/kiv",
  };
  for (const auto& file : files) {
    EXPECT_TRUE(fs::is_regular_file(prefix() + "/" + file)) << file;
  }

  // The installed libraries and the tool keep no trace of the build tree or
  // of the folder they were installed to; the query library looks for the
  // report library beside itself.
  const std::string query_library = KIV_TEST_INSTALL_LIBDIR "/libkiv_svcquery.so";
  for (const std::string& file :
       {query_library, std::string(KIV_TEST_INSTALL_LIBDIR "/libkiv_logsend.so"),
        std::string(KIV_TEST_INSTALL_LIBDIR "/libkiv_clientlog.so"), std::string("bin/kiv")}) {
    const ChildResult dynamic = run({KIV_TEST_READELF, "-d", prefix() + "/" + file});
    ASSERT_EQ(dynamic.exit_code, 0) << describe(dynamic);
    EXPECT_EQ(dynamic.out.find(KIV_TEST_BUILD_DIR), std::string::npos) << file << dynamic.out;
    EXPECT_EQ(dynamic.out.find(root_->path()), std::string::npos) << file << dynamic.out;
    const bool runpath = dynamic.out.find("runpath: [$ORIGIN]") != std::string::npos;
    EXPECT_EQ(runpath, file == query_library) << file << dynamic.out;
  }

  // The CMake package carries the version that the headers spell.
  std::ifstream version_file(libdir() + "/cmake/kiv/kivConfigVersion.cmake");
  const std::string version_text((std::istreambuf_iterator<char>(version_file)),
                                 std::istreambuf_iterator<char>());
  EXPECT_NE(version_text.find("set(PACKAGE_VERSION \"" KIV_VERSION_STRING "\")"), std::string::npos)
      << version_text;

  // pkg-config resolves the installed tree from the file's own location, and
  // each library brings the logger along.
  const std::map<std::string, std::string> env = {{"PKG_CONFIG_PATH", libdir() + "/pkgconfig"}};
  for (const auto& [module, library] :
       {std::pair{"kiv-svcquery", "-lkiv_svcquery"}, std::pair{"kiv-logsend", "-lkiv_logsend"}}) {
    const ChildResult found = run({KIV_TEST_PKG_CONFIG, "--variable=libdir", module}, env);
    ASSERT_EQ(found.exit_code, 0) << describe(found);
    const std::string reported = found.out.substr(0, found.out.find('\n'));
    EXPECT_TRUE(fs::equivalent(reported, libdir())) << module << ": " << reported;
    const ChildResult libs = run({KIV_TEST_PKG_CONFIG, "--libs", module}, env);
    ASSERT_EQ(libs.exit_code, 0) << describe(libs);
    EXPECT_NE(libs.out.find(library), std::string::npos) << libs.out;
    EXPECT_NE(libs.out.find("-lkiv_clientlog"), std::string::npos) << libs.out;
    // The package carries the version that the headers spell.
    const ChildResult version = run({KIV_TEST_PKG_CONFIG, "--modversion", module}, env);
    ASSERT_EQ(version.exit_code, 0) << describe(version);
    EXPECT_EQ(version.out, KIV_VERSION_STRING "\n") << module;
  }
}

// Each library is its versioned file, reached through the SONAME link and
// the unversioned link, in the build tree as in the installation; the
// libraries name the logger by its SONAME. The unversioned link of the
// report library is what the query library binds, so it must be there too.
TEST_F(InstalledPackage, LibrariesAreNamedByTheirVersion) {
  const std::string major = std::to_string(KIV_VERSION_MAJOR);
  for (const std::string& folder : {libdir(), std::string(KIV_TEST_LIB_DIR)}) {
    for (const std::string name : {"kiv_svcquery", "kiv_logsend", "kiv_clientlog"}) {
      SCOPED_TRACE(folder + ": " + name);
      const std::string link = "lib" + name + ".so";
      const std::string soname = link + "." + major;
      const std::string file = link + "." KIV_VERSION_STRING;
      ASSERT_TRUE(fs::is_symlink(folder + "/" + link));
      EXPECT_EQ(fs::read_symlink(folder + "/" + link).string(), soname);
      ASSERT_TRUE(fs::is_symlink(folder + "/" + soname));
      EXPECT_EQ(fs::read_symlink(folder + "/" + soname).string(), file);
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder + "/" + file)));

      const ChildResult dynamic = run({KIV_TEST_READELF, "-d", folder + "/" + file});
      ASSERT_EQ(dynamic.exit_code, 0) << describe(dynamic);
      EXPECT_NE(dynamic.out.find("Library soname: [" + soname + "]"), std::string::npos)
          << dynamic.out;
      const bool needs_logger = dynamic.out.find("Shared library: [libkiv_clientlog.so." + major +
                                                 "]") != std::string::npos;
      EXPECT_EQ(needs_logger, name != "kiv_clientlog") << dynamic.out;
      EXPECT_EQ(dynamic.out.find("Shared library: [libkiv_clientlog.so]"), std::string::npos)
          << dynamic.out;
    }
  }
}

TEST_F(InstalledPackage, ExampleBuiltWithFindPackageRuns) {
  TempDir build;
  const ChildResult configure =
      run({KIV_TEST_CMAKE_COMMAND, "-S", kExampleSource, "-B", build.path(),
           "-DCMAKE_PREFIX_PATH=" + prefix(), "-DCMAKE_C_COMPILER=" KIV_TEST_C_COMPILER,
           std::string("-DCMAKE_C_FLAGS=") + kCFlags,
           std::string("-DCMAKE_EXE_LINKER_FLAGS=") + kLinkerFlags});
  ASSERT_EQ(configure.exit_code, 0) << describe(configure);
  const ChildResult compile = run({KIV_TEST_CMAKE_COMMAND, "--build", build.path()});
  ASSERT_EQ(compile.exit_code, 0) << describe(compile);
  expect_example_runs(build.file("vpn_client"));
}

// The C++ example, through kiv.hpp, asks and reports as the C example does.
TEST_F(InstalledPackage, CppExampleBuiltWithFindPackageRuns) {
  TempDir build;
  const ChildResult configure =
      run({KIV_TEST_CMAKE_COMMAND, "-S", kCppExampleSource, "-B", build.path(),
           "-DCMAKE_PREFIX_PATH=" + prefix(), "-DCMAKE_CXX_COMPILER=" KIV_TEST_CXX_COMPILER,
           std::string("-DCMAKE_CXX_FLAGS=") + kCxxFlags,
           std::string("-DCMAKE_EXE_LINKER_FLAGS=") + kLinkerFlags});
  ASSERT_EQ(configure.exit_code, 0) << describe(configure);
  const ChildResult compile = run({KIV_TEST_CMAKE_COMMAND, "--build", build.path()});
  ASSERT_EQ(compile.exit_code, 0) << describe(compile);
  expect_example_runs(build.file("cpp_client"));
}

TEST_F(InstalledPackage, ExampleBuiltWithPkgConfigRuns) {
  TempDir build;
  const ChildResult compile = run({KIV_TEST_MAKE, "-f", std::string(kExampleSource) + "/Makefile"},
                                  {{"PKG_CONFIG_PATH", libdir() + "/pkgconfig"},
                                   {"PKG_CONFIG", KIV_TEST_PKG_CONFIG},
                                   {"CC", KIV_TEST_C_COMPILER},
                                   {"CFLAGS", kCFlags},
                                   {"LDFLAGS", kLinkerFlags}},
                                  build.path());
  ASSERT_EQ(compile.exit_code, 0) << describe(compile);
  expect_example_runs(build.file("vpn_client"));
}

}  // namespace
}  // namespace kiv::test
