# Writes a C++ source holding the control page, so that the stand-in serves
# it wherever it runs. Called with -DINPUT=... -DOUTPUT=...
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
# One source line per line of the file.
string(REPLACE "\\x0a" "\\x0a\"\n    \"" escaped "${escaped}")
file(WRITE ${OUTPUT}.tmp
"// Generated from tools/standin/page.html; do not edit.
#include <string_view>

namespace kiv::standin {

std::string_view control_page() {
  return std::string_view(\"${escaped}\", ${size});
}

}  // namespace kiv::standin
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
