#include "scenario.h"

#include <json-c/json.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "codec.h"

namespace kiv::standin {
namespace {

std::string plain(json_object* value) {
  return json_object_to_json_string_ext(value,
                                        JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

std::optional<Rule> parse_rule(json_object* o, std::string* error) {
  auto fail = [error](std::string why) -> std::optional<Rule> {
    *error = std::move(why);
    return std::nullopt;
  };
  if (!json_object_is_type(o, json_type_object)) return fail("a rule must be a JSON object");
  Rule rule;
  bool has_path = false;
  json_object_object_foreach(o, name, value) {
    const std::string member = name;
    if (member == "path") {
      if (!json_object_is_type(value, json_type_string) || json_object_get_string_len(value) == 0)
        return fail("\"path\" must be a non-empty text");
      rule.key = answer_key(json_object_get_string(value));
      has_path = true;
    } else if (member == "when") {
      if (!json_object_is_type(value, json_type_object))
        return fail("\"when\" must be an object of request members");
      rule.when = std::shared_ptr<json_object>(json_object_get(value), JsonPut());
    } else if (member == "call") {
      if (!json_object_is_type(value, json_type_int) || json_object_get_int64(value) < 1)
        return fail("\"call\" must be a whole number from 1 (the N-th matching call)");
      rule.call = static_cast<uint64_t>(json_object_get_int64(value));
    } else if (member == "answer") {
      std::string why;
      auto gbk = codec::utf8_to_gbk(plain(value), &why);
      if (!gbk) return fail("\"answer\": " + why);
      rule.answer = std::move(*gbk);
    } else if (member == "fault") {
      if (!json_object_is_type(value, json_type_string))
        return fail("\"fault\" must be a text such as \"status=500,delay=100\"");
      std::string why;
      rule.fault = parse_fault(json_object_get_string(value), &why);
      if (!rule.fault) return fail("\"fault\": " + why);
    } else {
      return fail("unknown member \"" + member +
                  "\" (a rule has path, when, call, answer and fault)");
    }
  }
  if (!has_path) return fail("a rule needs a \"path\"");
  if (!rule.answer && !rule.fault) return fail("a rule needs an \"answer\" or a \"fault\"");
  rule.text = plain(o);
  return rule;
}

}  // namespace

std::optional<std::vector<Rule>> Scenario::parse(std::string_view utf8_json, std::string* error) {
  const JsonValue doc = parse_strict_json(utf8_json);
  if (!doc) {
    *error = "the rules are not JSON";
    return std::nullopt;
  }
  std::vector<Rule> rules;
  if (json_object_is_type(doc.get(), json_type_array)) {
    const size_t n = json_object_array_length(doc.get());
    for (size_t i = 0; i < n; ++i) {
      auto rule = parse_rule(json_object_array_get_idx(doc.get(), i), error);
      if (!rule) {
        *error = "rule " + std::to_string(i + 1) + ": " + *error;
        return std::nullopt;
      }
      rules.push_back(std::move(*rule));
    }
  } else {
    auto rule = parse_rule(doc.get(), error);
    if (!rule) return std::nullopt;
    rules.push_back(std::move(*rule));
  }
  return rules;
}

void Scenario::add(std::vector<Rule> rules) {
  add_within(std::move(rules), SIZE_MAX);
}

bool Scenario::add_within(std::vector<Rule> rules, std::size_t most) {
  std::lock_guard guard(lock_);
  if (rules.size() > most || rules_.size() > most - rules.size()) return false;
  for (auto& rule : rules) {
    rules_.push_back(std::move(rule));
    numbers_.push_back(++numbered_);
  }
  return true;
}

void Scenario::clear() {
  std::lock_guard guard(lock_);
  rules_.clear();
  numbers_.clear();
}

std::optional<Choice> Scenario::choose(std::string_view key,
                                       const std::optional<std::string>& request) {
  std::lock_guard guard(lock_);
  std::optional<Choice> chosen;
  for (size_t i = 0; i < rules_.size(); ++i) {
    Rule& rule = rules_[i];
    if (rule.key != key || !request_holds(rule.when.get(), request)) continue;
    ++rule.seen;
    if (chosen || (rule.call != 0 && rule.call != rule.seen)) continue;
    chosen =
        Choice{rule.answer, rule.fault, "rule " + std::to_string(numbers_[i]) + " " + rule.text};
  }
  return chosen;
}

std::string Scenario::json() const {
  std::lock_guard guard(lock_);
  std::string out = "[";
  for (size_t i = 0; i < rules_.size(); ++i) {
    if (i > 0) out += ",";
    out += "{\"number\":" + std::to_string(numbers_[i]) +
           ",\"seen\":" + std::to_string(rules_[i].seen) + ",\"rule\":" + rules_[i].text + "}";
  }
  return out + "]";
}

}  // namespace kiv::standin
