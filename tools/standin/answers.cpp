#include "answers.h"

#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "codec.h"
#include "program.h"

namespace kiv::standin {

// Generated from tools/answers at build time.
const std::vector<std::pair<std::string_view, std::string_view>>& built_in_answer_files();

std::string answer_key(std::string_view path) {
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  return std::string(path);
}

AnswerSet AnswerSet::built_in() {
  AnswerSet set;
  for (const auto& [path, text] : built_in_answer_files()) set.set(path, std::string(text));
  return set;
}

AnswerSet AnswerSet::from_folder(const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // The folder itself may be reached through a link: it is the user's to name.
  if (!fs::is_directory(folder, ec)) {
    throw std::runtime_error("answer folder " + folder + " is not a readable folder");
  }
  const fs::path root(folder);
  AnswerSet set;
  // Links below the folder are not followed, to folders or to files: what
  // is served is what lies in the folder, keyed by its place there.
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
  if (ec) throw std::runtime_error("cannot read answer folder " + folder + ": " + ec.message());
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) throw std::runtime_error("cannot read answer folder " + folder + ": " + ec.message());
    const fs::path& path = it->path();
    const std::string name = path.filename().string();
    const bool raw = name.ends_with(".raw");
    if (!raw && !name.ends_with(".json")) continue;
    // Recorded requests lie beside their answers: no answers themselves.
    if (name.ends_with(".request.json") || name.ends_with(".request.raw")) continue;
    std::error_code kind_error;
    if (it->is_symlink(kind_error) || !it->is_regular_file(kind_error)) continue;
    std::string bytes;
    std::string why;
    if (!platform::read_whole_file(path.string(), codec::kBodyLimit, false, &bytes, &why)) {
      throw std::runtime_error("cannot read answer file " + path.string() + ": " + why);
    }
    fs::path relative = path.lexically_relative(root);
    relative.replace_extension();
    const std::string key = relative.generic_string();
    auto& same = raw ? set.raws_ : set.texts_;
    const auto& other = raw ? set.texts_ : set.raws_;
    if (other.contains(key)) {
      throw std::runtime_error("answer folder " + folder + " holds both " + key + ".json and " +
                               key + ".raw");
    }
    same.insert_or_assign(key, std::move(bytes));
  }
  if (set.texts_.empty() && set.raws_.empty())
    throw std::runtime_error("answer folder " + folder + " holds no *.json or *.raw file");
  return set;
}

void AnswerSet::set(std::string_view path, std::string text) {
  const std::string key = answer_key(path);
  raws_.erase(key);
  texts_.insert_or_assign(key, std::move(text));
}

void AnswerSet::set_raw(std::string_view path, std::string bytes) {
  const std::string key = answer_key(path);
  texts_.erase(key);
  raws_.insert_or_assign(key, std::move(bytes));
}

const std::string* AnswerSet::find(std::string_view path) const {
  const auto it = texts_.find(answer_key(path));
  return it == texts_.end() ? nullptr : &it->second;
}

}  // namespace kiv::standin
