# Writes a C++ source holding the default answer files, so that the tool
# serves them wherever it runs. Called with -DINPUT_DIR=... -DOUTPUT=...
file(GLOB answer_files RELATIVE ${INPUT_DIR} ${INPUT_DIR}/*.json)
list(SORT answer_files)
set(entries "")
foreach(name IN LISTS answer_files)
  file(READ ${INPUT_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
  # One source line per line of the file.
  string(REPLACE "\\x0a" "\\x0a\"\n    \"" escaped "${escaped}")
  string(REGEX REPLACE "\\.json$" "" path "${name}")
  string(APPEND entries "  {\"${path}\",\n   std::string_view(\"${escaped}\", ${size})},\n")
endforeach()
file(WRITE ${OUTPUT}.tmp
"// Generated from tools/answers/*.json; do not edit.
#include <string_view>
#include <utility>
#include <vector>

namespace kiv::standin {

const std::vector<std::pair<std::string_view, std::string_view>>& built_in_answer_files() {
  static const std::vector<std::pair<std::string_view, std::string_view>> files = {
${entries}  };
  return files;
}

}  // namespace kiv::standin
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
