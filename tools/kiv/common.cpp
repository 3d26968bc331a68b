#include "common.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "codec.h"
#include "commands.h"
#include "gbk_text.h"
#include "kiv_clientlog.h"
#include "number.h"
#include "platform.h"
#include "program.h"
#include "standard_output.h"

namespace kiv::tool {
namespace {

std::atomic<int> g_message_count{0};

void write_standard_error(const std::string& text) {
  platform::write_standard_error(text.data(), text.size());
}

void on_message(const char* message, void*) {
  g_message_count.fetch_add(1, std::memory_order_relaxed);
  if (!global_options().verbose || message == nullptr) return;
  std::string line = "[library] ";
  kiv::text::append_display_line(message, true, line);
  write_standard_error(line);
}

#if defined(_WIN32)
// The code page of a Chinese Windows client: GBK.
constexpr uint32_t kGbkCodePage = 936;
#endif

platform::Library load_library(const char* name) {
#if defined(_WIN32)
  // The libraries sit beside the tool, as in a client's folder: the system's
  // search begins there, and the tool's own folder is tried by path after it.
  return platform::Library::adopt(platform::load_library_beside_module(name));
#else
  // LD_LIBRARY_PATH first, as for any program; then the library folder the
  // tool's run path names, by path (a sanitizer's wrapper around dlopen
  // hides the run path); then the system's search.
  const char* search = platform::environment("LD_LIBRARY_PATH");
  if (search != nullptr && search[0] != '\0') {
    if (platform::Library library(name); library) return library;
  }
  const std::string beside = platform::program_folder() + KIV_TOOL_LIBRARY_FOLDER "/" + name;
  if (platform::Library library(beside.c_str()); library) return library;
  return platform::Library(name);
#endif
}

// A library loaded for the rest of the run. It is never unloaded: as for a
// linked library, its detach routine runs at process exit, and a leak
// checker scanning at exit still sees the storage of the libraries it pulled
// in (libcurl and its crypto libraries).
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const char* name) : library_(load_library(name)) {
    if (!library_)
      error_ = std::string("cannot load ") + name + ": " + platform::library_error_line();
  }
  ~LoadedLibrary() { (void)library_.release(); }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  void* get() const {
    if (!library_) throw ToolFailure(error_);
    return library_.get();
  }

 private:
  platform::Library library_;
  std::string error_;
};

int utf8_display_width(std::string_view text) {
  int width = 0;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    uint32_t code = c;
    size_t length = 1;
    if (c >= 0xF0) {
      length = 4;
    } else if (c >= 0xE0) {
      length = 3;
      if (i + 2 < text.size()) {
        code = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
               (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
      }
    } else if (c >= 0xC0) {
      length = 2;
    }
    // CJK characters and full-width forms take two columns.
    width += (length == 4 || (code >= 0x2E80 && code <= 0xFFEF)) ? 2 : 1;
    i += length;
  }
  return width;
}

void pad(std::FILE* out, std::string_view text, int width) {
  std::fwrite(text.data(), 1, text.size(), out);
  for (int n = utf8_display_width(text); n < width; ++n) std::fputc(' ', out);
}

}  // namespace

CLI::Validator decimal_integer() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        // A leading zero would make the parser read it as octal: "010" is refused, not 8.
        const size_t digits = !text.empty() && text.front() == '-' ? 1 : 0;
        const bool ok = text.size() > digits &&
                        text.find_first_not_of("0123456789", digits) == std::string::npos &&
                        (text[digits] != '0' || text.size() == digits + 1);
        return ok ? std::string() : "Value " + text + " is not a decimal whole number";
      },
      "DECIMAL");
}

CLI::Validator decimal_fraction() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const size_t point = text.find('.');
        const std::string whole = text.substr(0, point);
        const std::string fraction = point == std::string::npos ? "1" : text.substr(point + 1);
        const bool ok = !whole.empty() && !fraction.empty() &&
                        whole.find_first_not_of("0123456789") == std::string::npos &&
                        (whole[0] != '0' || whole.size() == 1) &&
                        fraction.find_first_not_of("0123456789") == std::string::npos;
        return ok ? std::string() : "Value " + text + " is not a decimal number";
      },
      "DECIMAL");
}

GlobalOptions& global_options() {
  static GlobalOptions options;
  return options;
}

void* svcquery_library() {
  // The report library first: the query library binds it by name as it
  // loads and then finds it already there, as a client finds a library in
  // its own folder.
  static const bool report_library_tried = [] {
    try {
      logsend_library();
    } catch (const ToolFailure&) {
      // The query library works without it; it only reports nothing then.
    }
    return true;
  }();
  (void)report_library_tried;
  static LoadedLibrary library(kSvcqueryLibraryFile);
  return library.get();
}

void* logsend_library() {
  static LoadedLibrary library(kLogsendLibraryFile);
  return library.get();
}

void* find_export(void* library, const char* library_name, const char* name) {
  void* address = platform::find_symbol(library, name);
  if (address == nullptr) {
    throw ToolFailure(std::string(library_name) + " has no export " + name);
  }
  return address;
}

void install_message_handler() {
  kiv_set_message_handler(&on_message, nullptr);
}

int library_message_count() {
  return g_message_count.load(std::memory_order_relaxed);
}

LibraryOutput::LibraryOutput() {
  std::fflush(stdout);
  capture_ = platform::scratch_output_file();
  if (capture_ == nullptr) return;  // nowhere to divert to: the traces stay on standard output
  saved_ = platform::divert_standard_output(capture_);
  if (saved_ < 0) {
    std::fclose(capture_);
    capture_ = nullptr;
  }
}

LibraryOutput::~LibraryOutput() {
  if (capture_ == nullptr) return;
  std::fflush(stdout);
  platform::restore_standard_output(saved_);
  if (global_options().verbose) {
    std::rewind(capture_);
    std::string text;
    char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, capture_)) > 0) text.append(chunk, n);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = "[library stdout] ";
      kiv::text::append_display_line(std::string_view(text).substr(start, end - start), true, line);
      write_standard_error(line);
      start = end + 1;
    }
  }
  std::fclose(capture_);
}

std::string display(std::string_view gbk) {
  return kiv::text::gbk_to_utf8(gbk);
}

std::string client_text(std::string_view utf8, std::string_view what) {
  std::string why;
  auto gbk = kiv::codec::utf8_to_gbk(utf8, &why);
  if (!gbk) {
    throw UsageError(std::string(what) +
                     " cannot be written in the client's code page (GBK): " + why);
  }
  return std::move(*gbk);
}

std::string argument_text(std::string_view argument, std::string_view what) {
  const uint32_t code_page = platform::command_line_code_page();
#if defined(_WIN32)
  // A Chinese client's command line is GBK already: its bytes are what the
  // client program itself would send.
  if (code_page == kGbkCodePage) return std::string(argument);
#endif
  std::string utf8;
  if (!platform::command_line_to_utf8(argument, &utf8)) {
    throw UsageError(std::string(what) + " is not text of the command line's code page (" +
                     std::to_string(code_page) + ")");
  }
  return client_text(utf8, what);
}

std::string read_file_bytes(const std::string& path, size_t limit) {
  std::string bytes;
  std::string why;
  if (!platform::read_whole_file(path, limit, true, &bytes, &why)) {
    throw UsageError("cannot read " + path + ": " + why);
  }
  return bytes;
}

std::string text_or_file(const std::string& argument, std::string_view what) {
  if (!argument.empty() && argument.front() == '@') return read_file_bytes(argument.substr(1));
  return argument_text(argument, what);
}

uint16_t parse_port(std::string_view text, std::string_view what) {
  const auto value = standin::parse_number<uint16_t>(text, 1, 65535);
  if (!value) {
    throw UsageError(std::string(what) + " must be a port from 1 to 65535, not \"" +
                     std::string(text) + "\"");
  }
  return *value;
}

int32_t parse_int32(std::string_view text, std::string_view what) {
  const auto value = standin::parse_number<int32_t>(text, INT32_MIN, INT32_MAX);
  if (!value) {
    throw UsageError(std::string(what) + " must be a whole number from -2147483648 to " +
                     "2147483647, not \"" + std::string(text) + "\"");
  }
  return *value;
}

std::string shown_text(std::string_view text, bool keep_layout) {
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && !(keep_layout && (c == '\n' || c == '\t'))) || byte == 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0x0F];
    } else {
      shown += c;
    }
  }
  return shown;
}

json_object* json_float(float value) {
  // The shortest decimal text that reads back as the same float.
  char text[32];
  for (int precision = 6; precision <= 9; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, static_cast<double>(value));
    if (std::strtof(text, nullptr) == value) break;
  }
  return json_object_new_double_s(static_cast<double>(value), text);
}

void json_add(json_object* object, const char* key, json_object* value) {
  json_object_object_add(object, key, value);
}

std::string json_document(json_object* value) {
  std::string text = json_object_to_json_string_ext(
      value, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_NOSLASHESCAPE);
  text += '\n';
  return text;
}

std::string readable(json_object* value) {
  switch (json_object_get_type(value)) {
    case json_type_null:
      return "(not written)";
    case json_type_string: {
      const std::string_view text(json_object_get_string(value),
                                  static_cast<size_t>(json_object_get_string_len(value)));
      if (text.empty()) return "(empty)";
      // Line breaks and tabs lay out a text that has them.
      return shown_text(text, true);
    }
    case json_type_array:
    case json_type_object:
      return json_object_to_json_string_ext(
          value, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    default:
      return json_object_get_string(value);
  }
}

void print_table(std::FILE* out, json_object* rows, std::string_view indent) {
  std::vector<std::string> columns;
  const size_t count = json_object_array_length(rows);
  for (size_t i = 0; i < count; ++i) {
    json_object* row = json_object_array_get_idx(rows, i);
    if (!json_object_is_type(row, json_type_object)) continue;
    json_object_object_foreach(row, key, unused) {
      (void)unused;
      if (std::find(columns.begin(), columns.end(), key) == columns.end()) columns.push_back(key);
    }
  }
  std::vector<std::vector<std::string>> cells(count);
  std::vector<int> widths;
  for (const auto& column : columns) widths.push_back(utf8_display_width(column));
  for (size_t i = 0; i < count; ++i) {
    json_object* row = json_object_array_get_idx(rows, i);
    for (size_t c = 0; c < columns.size(); ++c) {
      json_object* value = nullptr;
      const bool present = json_object_is_type(row, json_type_object) &&
                           json_object_object_get_ex(row, columns[c].c_str(), &value);
      cells[i].push_back(present ? readable(value) : "");
      widths[c] = std::max(widths[c], utf8_display_width(cells[i].back()));
    }
  }
  auto print_row = [&](const std::vector<std::string>& row) {
    std::fwrite(indent.data(), 1, indent.size(), out);
    for (size_t c = 0; c < row.size(); ++c) {
      if (c + 1 == row.size()) {
        std::fputs(row[c].c_str(), out);
      } else {
        pad(out, row[c], widths[c] + 2);
      }
    }
    std::fputc('\n', out);
  };
  print_row(columns);
  for (const auto& row : cells) print_row(row);
}

void print_members(std::FILE* out, json_object* object, std::string_view indent) {
  int width = 0;
  json_object_object_foreach(object, name, unused) {
    (void)unused;
    width = std::max(width, utf8_display_width(name));
  }
  json_object_object_foreach(object, key, value) {
    std::fwrite(indent.data(), 1, indent.size(), out);
    const bool rows = json_object_is_type(value, json_type_array) &&
                      json_object_array_length(value) > 0 &&
                      json_object_is_type(json_object_array_get_idx(value, 0), json_type_object);
    if (rows) {
      std::fprintf(out, "%s: %zu\n", key, json_object_array_length(value));
      print_table(out, value, std::string(indent) + "  ");
    } else {
      pad(out, key, width + 2);
      // A text that ends its own line (an answer text, say) gets no second break.
      const std::string shown = readable(value);
      std::fprintf(out, shown.ends_with('\n') ? "%s" : "%s\n", shown.c_str());
    }
  }
}

}  // namespace kiv::tool
