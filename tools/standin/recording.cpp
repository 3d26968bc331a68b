#include "recording.h"

#include <json-c/json.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "codec.h"
#include "platform.h"
#include "program.h"

namespace kiv::standin {
namespace {

namespace fs = std::filesystem;

bool is_json_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

void replace_file_with(const std::filesystem::path& target, std::string_view bytes) {
  std::filesystem::path temporary = target;
  temporary += ".partial";
  const std::string temporary_name = temporary.string();
  platform::delete_file(temporary_name.c_str());
  platform::File out(platform::create_new(temporary_name.c_str()));
  size_t written = 0;
  if (!out || !platform::write_file(out.get(), bytes.data(), bytes.size(), &written)) {
    const int error = platform::last_error();
    const bool created = static_cast<bool>(out);
    out.reset();
    if (created) platform::delete_file(temporary_name.c_str());
    throw std::runtime_error("cannot write " + temporary_name + ": " +
                             platform::file_error_line(error));
  }
  out.reset();
  if (!platform::replace_file(temporary_name.c_str(), target.string().c_str())) {
    const int error = platform::last_error();
    platform::delete_file(temporary_name.c_str());
    throw std::runtime_error("cannot rename " + temporary_name + " to " + target.string() + ": " +
                             platform::file_error_line(error));
  }
}

namespace {

// The inflated GBK JSON text of a body, in UTF-8 and laid out.
std::optional<std::string> readable_json(const std::optional<std::string>& inflated) {
  if (!inflated) return std::nullopt;
  const auto utf8 = codec::gbk_to_utf8_exact(*inflated);
  if (!utf8) return std::nullopt;
  return json_pretty(*utf8);
}

// Writes `file` as `base` + its extension and removes the other kind, which
// would otherwise answer in its place.
std::string store(const fs::path& base, const RecordedFile& file) {
  fs::path target = base;
  target += file.extension;
  replace_file_with(target, file.bytes);
  fs::path other = base;
  other += file.extension == ".json" ? ".raw" : ".json";
  std::error_code ec;
  fs::remove(other, ec);
  if (ec) throw std::runtime_error("cannot remove " + other.string() + ": " + ec.message());
  return target.filename().string();
}

// The folders of `key` below `folder`, made where missing; each must be a
// folder of its own, not a link to one elsewhere.
void make_folders(const fs::path& folder, std::string_view key) {
  fs::path at = folder;
  size_t start = 0;
  for (size_t slash; (slash = key.find('/', start)) != std::string_view::npos; start = slash + 1) {
    at /= std::string(key.substr(start, slash - start));
    const std::string name = at.string();
    switch (platform::path_kind(name.c_str())) {
      case platform::PathKind::kFolder:
        break;
      case platform::PathKind::kMissing:
        if (!platform::make_folder(name.c_str()) &&
            platform::path_kind(name.c_str()) != platform::PathKind::kFolder) {
          throw std::runtime_error("cannot create " + name + ": " +
                                   platform::file_error_line(platform::last_error()));
        }
        break;
      case platform::PathKind::kLink:
        throw std::runtime_error(name + " is a link: nothing is written through it");
      default:
        throw std::runtime_error(name + " is not a folder");
    }
  }
}

// A key names a file inside the folder only when each of its segments is a
// plain name: nothing climbs out, nothing is a drive or a device path.
bool is_plain_key(std::string_view key) {
  if (key.empty()) return false;
  size_t start = 0;
  for (;;) {
    const size_t slash = key.find('/', start);
    const std::string_view segment = key.substr(start, slash - start);
    if (segment.empty() || segment == "." || segment == "..") return false;
    for (const char c : segment) {
      if (c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20) return false;
    }
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

}  // namespace

std::optional<std::string> json_pretty(std::string_view text) {
  if (!is_strict_json(text)) return std::nullopt;
  std::string out;
  out.reserve(text.size() * 2);
  int depth = 0;
  auto new_line = [&] {
    out += '\n';
    out.append(static_cast<size_t>(depth) * 2, ' ');
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '"': {  // the whole string as it is
        size_t end = i + 1;
        while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
        out.append(text.substr(i, end + 1 - i));
        i = end;
        break;
      }
      case '{':
      case '[': {
        size_t next = i + 1;
        while (next < text.size() && is_json_space(text[next])) ++next;
        out += c;
        if (next < text.size() && text[next] == (c == '{' ? '}' : ']')) {
          out += text[next];
          i = next;
        } else {
          ++depth;
          new_line();
        }
        break;
      }
      case '}':
      case ']':
        --depth;
        new_line();
        out += c;
        break;
      case ',':
        out += c;
        new_line();
        break;
      case ':':
        out += ": ";
        break;
      default:
        if (is_json_space(c)) break;
        // Numbers and literals; anything else (a comment, say) is not plain
        // JSON, and dropping the spaces around it could change its meaning.
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '+' && c != '.') {
          return std::nullopt;
        }
        out += c;
    }
  }
  out += '\n';
  return out;
}

RecordedFile answer_file(std::string_view body) {
  if (auto json = readable_json(codec::zlib_inflate(body, codec::kBodyLimit, nullptr))) {
    return {".json", std::move(*json)};
  }
  return {".raw", std::string(body)};
}

RecordedFile request_file(std::string_view body) {
  auto inflated = codec::zlib_inflate(body, codec::kBodyLimit, nullptr);
  if (auto json = readable_json(inflated)) return {".json", std::move(*json)};
  return {".raw", inflated ? std::move(*inflated) : std::string(body)};
}

Recorder::Recorder(std::string folder) : folder_(std::move(folder)) {
  std::error_code ec;
  fs::create_directories(folder_, ec);
  if (ec || !fs::is_directory(folder_, ec)) {
    throw std::runtime_error("cannot record into " + folder_ + ": " +
                             (ec ? ec.message() : "not a folder"));
  }
  // Found out now rather than at the first exchange.
  const fs::path probe = fs::path(folder_) / ".write-test";
  try {
    replace_file_with(probe, "");
  } catch (const std::runtime_error& e) {
    throw std::runtime_error("cannot record into " + folder_ + ": " + e.what());
  }
  fs::remove(probe, ec);
}

std::string Recorder::record(std::string_view key, std::string_view request_body,
                             std::string_view answer_body) {
  if (!is_plain_key(key)) {
    throw std::runtime_error("the path \"" + std::string(key) + "\" is no file name in the folder");
  }
  const RecordedFile answer = answer_file(answer_body);
  const RecordedFile request = request_file(request_body);
  const fs::path base = fs::path(folder_) / fs::path(std::string(key));
  std::lock_guard guard(lock_);
  make_folders(folder_, key);
  std::string written = store(base, answer);
  fs::path request_base = base;
  request_base += ".request";
  written += ", " + store(request_base, request);
  return written;
}

}  // namespace kiv::standin
