// A fault spec, read and written back.
#include <string>

#include "number.h"
#include "standin.h"

namespace kiv::standin {

std::string Fault::describe() const {
  std::string out;
  auto add = [&out](const std::string& part) {
    if (!out.empty()) out += ',';
    out += part;
  };
  if (status) add("status=" + std::to_string(*status));
  if (delay.count() > 0) add("delay=" + std::to_string(delay.count()));
  if (empty_body) add("empty");
  if (not_zlib) add("not-zlib");
  if (not_json) add("not-json");
  return out;
}

std::optional<Fault> parse_fault(std::string_view spec, std::string* error) {
  auto fail = [error](std::string why) -> std::optional<Fault> {
    if (error != nullptr) *error = std::move(why);
    return std::nullopt;
  };
  Fault fault;
  if (spec.empty())
    return fail("empty fault (expected status=N, delay=MS, empty, not-zlib or not-json)");
  while (!spec.empty()) {
    const size_t comma = spec.find(',');
    const std::string_view part = spec.substr(0, comma);
    spec = comma == std::string_view::npos ? std::string_view() : spec.substr(comma + 1);
    if (part.starts_with("status=")) {
      const auto status = parse_number(part.substr(7), 200, 599);
      if (!status) {
        return fail("status must be an HTTP status from 200 to 599: " + std::string(part));
      }
      fault.status = *status;
    } else if (part.starts_with("delay=")) {
      const auto delay = parse_number(part.substr(6), 0, 600000);
      if (!delay) {
        return fail("delay must be milliseconds from 0 to 600000: " + std::string(part));
      }
      fault.delay = std::chrono::milliseconds(*delay);
    } else if (part == "empty") {
      fault.empty_body = true;
    } else if (part == "not-zlib") {
      fault.not_zlib = true;
    } else if (part == "not-json") {
      fault.not_json = true;
    } else {
      return fail("unknown fault \"" + std::string(part) +
                  "\" (expected status=N, delay=MS, empty, not-zlib or not-json)");
    }
  }
  return fault;
}

}  // namespace kiv::standin
