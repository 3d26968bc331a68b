// Recording exchanges as the answer files the stand-in serves: a recorded
// folder is an answer folder, and is readable as it stands.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "json_tools.h"

namespace kiv::standin {

// Writes the whole file beside `target`, then renames it over `target`, so
// that a reader never sees half of it. The file beside it is made anew (a
// file or link of that name is removed first, never written through), and
// the rename replaces `target` itself, even when it is a link. Throws
// std::runtime_error saying why when it cannot.
void replace_file_with(const std::filesystem::path& target, std::string_view bytes);

// One HTTP body as a file of a recorded folder.
struct RecordedFile {
  std::string extension;  // ".json" or ".raw"
  std::string bytes;
};

// An answer body as its answer file: ".json" with the inflated text in UTF-8,
// pretty-printed, when the body is a zlib stream of GBK JSON text; otherwise
// ".raw" with the body exactly as it came, to be served back byte for byte.
RecordedFile answer_file(std::string_view body);
// A request body made readable: ".json" as for answers; otherwise ".raw"
// with the inflated bytes, or the body as it came when it does not inflate.
RecordedFile request_file(std::string_view body);

// The JSON text laid out two spaces a level, every token kept byte for byte,
// so that any parser reads the same values from it. Nothing when the text is
// not one strict JSON value.
std::optional<std::string> json_pretty(std::string_view text);

// Stores each exchange as PATH.json or PATH.raw, and its request as
// PATH.request.json or PATH.request.raw; a later exchange on the same path
// replaces them. Every file is written beside its place and then renamed
// over it, so a failed write leaves the earlier file whole.
class Recorder {
 public:
  // Creates the folder if need be. Throws std::runtime_error when it cannot
  // be created or written.
  explicit Recorder(std::string folder);

  // Stores one exchange on the answer key `key`; returns the files written.
  // Throws std::runtime_error saying why when it could not.
  std::string record(std::string_view key, std::string_view request_body,
                     std::string_view answer_body);

 private:
  std::string folder_;
  std::mutex lock_;  // exchanges on one path share the temporary files' names
};

}  // namespace kiv::standin
