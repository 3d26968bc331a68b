#include "answers.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

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
  if (!fs::is_directory(folder, ec)) {
    throw std::runtime_error("answer folder " + folder + " is not a readable folder");
  }
  AnswerSet set;
  fs::recursive_directory_iterator it(folder, ec);
  if (ec) throw std::runtime_error("cannot read answer folder " + folder + ": " + ec.message());
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) throw std::runtime_error("cannot read answer folder " + folder + ": " + ec.message());
    const fs::path extension = it->path().extension();
    const bool raw = extension == ".raw";
    if (!it->is_regular_file() || (extension != ".json" && !raw)) continue;
    fs::path relative = fs::relative(it->path(), folder, ec);
    relative.replace_extension();
    if (relative.extension() == ".request") continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      throw std::runtime_error("cannot read answer file " + it->path().string());
    }
    const std::string key = relative.generic_string();
    auto& same = raw ? set.raws_ : set.texts_;
    const auto& other = raw ? set.texts_ : set.raws_;
    if (other.contains(key)) {
      throw std::runtime_error("answer folder " + folder + " holds both " + key + ".json and " +
                               key + ".raw");
    }
    same.insert_or_assign(key, std::move(text));
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
