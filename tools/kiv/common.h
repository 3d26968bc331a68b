// What every command of the tool shares: exit codes and errors, the client
// libraries bound at run time, the libraries' messages and standard output,
// JSON and table output, and argument checks.
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "json_tools.h"
#include "library_files.h"

namespace kiv::tool {

// Exit statuses of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the operation ran but did not succeed
inline constexpr int kExitUsage = 2;   // bad input: nothing was run

// Bad input: exit status 2 with the message.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// The operation could not be carried out: exit status 1 with the message.
struct ToolFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Options every command sees.
struct GlobalOptions {
  bool verbose = false;  // show the libraries' messages on standard error
  bool json = false;     // one JSON document instead of readable text
};
GlobalOptions& global_options();

// ---- The client libraries, bound on first use ----------------------------

// Loaded with the run-time linker after the message handler is in place, so
// that even the messages of the query library's start-up go through it.
void* svcquery_library();
void* logsend_library();
void* find_export(void* library, const char* library_name, const char* name);

#if defined(_WIN32)
inline constexpr char kSvcqueryLibraryFile[] = "kiv_svcquery.dll";
#else
inline constexpr char kSvcqueryLibraryFile[] = "libkiv_svcquery.so";
#endif
// The report library, by the name the query library binds it.
inline constexpr auto& kLogsendLibraryFile = platform::kReportLibraryFile;

// An export of the query library, typed after its declaration.
#define KIV_SVCQUERY_EXPORT(name)                               \
  reinterpret_cast<decltype(&::name)>(::kiv::tool::find_export( \
      ::kiv::tool::svcquery_library(), ::kiv::tool::kSvcqueryLibraryFile, #name))
#define KIV_LOGSEND_EXPORT(name)                                \
  reinterpret_cast<decltype(&::name)>(::kiv::tool::find_export( \
      ::kiv::tool::logsend_library(), ::kiv::tool::kLogsendLibraryFile, #name))

// ---- The libraries' messages and standard output --------------------------

// Installs the tool's message handler: with -v each message goes to standard
// error as one readable line (GBK shown as UTF-8); otherwise it is dropped
// and only counted.
void install_message_handler();
// Messages the libraries wrote since the start.
int library_message_count();

// Diverts standard output while a library call runs: the libraries print a
// few traces with printf, which must not mix with the tool's own output.
// With -v the traces go to standard error, readable; otherwise they are dropped.
class LibraryOutput {
 public:
  LibraryOutput();
  ~LibraryOutput();
  LibraryOutput(const LibraryOutput&) = delete;
  LibraryOutput& operator=(const LibraryOutput&) = delete;

 private:
  int saved_ = -1;
  std::FILE* capture_ = nullptr;
};

// ---- Text ---------------------------------------------------------------

// The largest request a file may give: what the stand-in takes of a body.
inline constexpr size_t kRequestFileLimit = 16u << 20;

// Client text (GBK bytes) as UTF-8 for the tool's output.
std::string display(std::string_view gbk);
// A UTF-8 text in the client's code page; UsageError if GBK cannot hold it.
// `what` names the text in the message.
std::string client_text(std::string_view utf8, std::string_view what);
// A command-line text in the client's code page: UTF-8 on POSIX; on Windows
// the ANSI code page's bytes, unchanged when that is GBK (936).
std::string argument_text(std::string_view argument, std::string_view what);
// The bytes of a regular file of at most `limit` bytes (the size is looked
// at before anything is read); UsageError naming the file and saying why
// when it cannot be read, is no regular file (a folder, FIFO or device) or
// is larger.
std::string read_file_bytes(const std::string& path, size_t limit = kRequestFileLimit);
// TEXT, or the bytes of FILE for "@FILE" (sent unchanged, at most
// kRequestFileLimit bytes).
std::string text_or_file(const std::string& argument, std::string_view what);
// The port of a HOST:PORT argument: 1 to 65535; UsageError otherwise.
uint16_t parse_port(std::string_view text, std::string_view what);
// A signed 32-bit number in decimal; UsageError otherwise.
int32_t parse_int32(std::string_view text, std::string_view what);

// ---- JSON output ----------------------------------------------------------

using Json = standin::JsonValue;
using standin::json_text;
json_object* json_float(float value);
// Adds `value` (owned from now on) under `key`.
void json_add(json_object* object, const char* key, json_object* value);
std::string json_document(json_object* value);  // pretty, UTF-8, one trailing line break

// ---- Readable output ------------------------------------------------------

// Text that reaches the terminal: control characters (escape sequences among
// them) shown as \xNN, not obeyed; with `keep_layout`, line breaks and tabs
// are kept.
std::string shown_text(std::string_view text, bool keep_layout);

// A JSON value as readable text: strings without quotes, "(empty)" for an
// empty string, "(not written)" for null.
std::string readable(json_object* value);
// Columns of `rows` (objects with the same members), headed by the member names.
void print_table(std::FILE* out, json_object* rows, std::string_view indent);
// "  name  value" lines of an object's members, rows of arrays as tables.
void print_members(std::FILE* out, json_object* object, std::string_view indent);

}  // namespace kiv::tool
