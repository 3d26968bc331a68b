#include <string>
#include <string_view>

#include "control.h"

namespace kiv::standin {
namespace {

// The page comes as one file (page.html, with its style and script inline);
// it is served as three, so that its Content-Security-Policy can allow only
// what comes from the stand-in itself and no inline code at all.
struct PageParts {
  std::string html;
  std::string script;
  std::string style;
};

// Cuts the text between `open` and `close` out of `html`, and puts
// `replacement` in its place (with the tags).
std::string cut_out(std::string& html, std::string_view open, std::string_view close,
                    std::string_view replacement) {
  const size_t start = html.find(open);
  const size_t end = start == std::string::npos ? start : html.find(close, start);
  if (end == std::string::npos) return "";
  std::string inner = html.substr(start + open.size(), end - start - open.size());
  html.replace(start, end + close.size() - start, replacement);
  return inner;
}

const PageParts& parts() {
  static const PageParts split = [] {
    PageParts p;
    p.html = std::string(control_page());
    p.style = cut_out(p.html, "<style>", "</style>",
                      "<link rel=\"stylesheet\" href=\"/__kiv/page.css\">");
    p.script = cut_out(p.html, "<script>", "</script>", "<script src=\"/__kiv/page.js\"></script>");
    return p;
  }();
  return split;
}

}  // namespace

std::string_view page_html() {
  return parts().html;
}
std::string_view page_script() {
  return parts().script;
}
std::string_view page_style() {
  return parts().style;
}

}  // namespace kiv::standin
