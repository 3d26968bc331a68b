// The answers the stand-in service gives, one JSON text (UTF-8) per path.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace kiv::standin {

// A request path as an answer key: without its leading slashes.
std::string answer_key(std::string_view path);

class AnswerSet {
 public:
  // The default set that ships with the tool (tools/answers/*.json).
  static AnswerSet built_in();
  // Every *.json and *.raw file below `folder`; the key of "a/b.json" is
  // "a/b". Recorded requests (*.request.json, *.request.raw) are no answers.
  // Throws std::runtime_error when the folder cannot be read, holds no
  // answer, or holds both kinds for one path.
  static AnswerSet from_folder(const std::string& folder);

  void set(std::string_view path, std::string text);
  const std::string* find(std::string_view path) const;
  const std::map<std::string, std::string, std::less<>>& texts() const { return texts_; }
  // Answers served byte for byte, as recorded.
  void set_raw(std::string_view path, std::string bytes);
  const std::map<std::string, std::string, std::less<>>& raws() const { return raws_; }

 private:
  std::map<std::string, std::string, std::less<>> texts_;
  std::map<std::string, std::string, std::less<>> raws_;
};

}  // namespace kiv::standin
