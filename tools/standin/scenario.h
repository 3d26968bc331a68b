// Scenarios: answers and faults chosen by the request. A rule names a path
// and may ask for members of the request text ("when") and for the N-th of
// the calls it matches ("call"); it gives an answer, a fault or both. The
// first rule that applies wins; without one the path's own answer and fault
// are given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "journal.h"
#include "standin.h"

namespace kiv::standin {

struct Rule {
  std::string key;                    // the answer key of its path
  std::shared_ptr<json_object> when;  // members the request must have, or null
  uint64_t call = 0;                  // only the N-th matching call; 0: every one
  std::optional<std::string> answer;  // GBK text
  std::optional<Fault> fault;
  std::string text;   // the rule as given, as one line of JSON
  uint64_t seen = 0;  // matching calls since it was set
};

// What a rule chose for one request.
struct Choice {
  std::optional<std::string> answer;  // GBK text; none: the path's own answer
  std::optional<Fault> fault;         // none: no fault at all
  std::string rule;                   // which rule, for the journal
};

class Scenario {
 public:
  // One rule object or an array of them, in UTF-8:
  //   {"path":"verification","when":{"pwd":"x"},"call":2,"answer":{...},"fault":"status=500"}
  // Every member but "path" may be left out, except that a rule gives an
  // "answer" or a "fault". Nothing (and why in `error`) when it is not one.
  static std::optional<std::vector<Rule>> parse(std::string_view utf8_json, std::string* error);

  void add(std::vector<Rule> rules);
  // Adds them only when at most `most` rules are held then; false otherwise.
  bool add_within(std::vector<Rule> rules, std::size_t most);
  void clear();
  // For one request on `key`: counts it for each rule it matches, and gives
  // the first rule that applies.
  std::optional<Choice> choose(std::string_view key, const std::optional<std::string>& request);
  // The rules, oldest first, each with its count of matching calls.
  std::string json() const;

 private:
  mutable std::mutex lock_;
  std::vector<Rule> rules_;
  uint64_t numbered_ = 0;
  std::vector<uint64_t> numbers_;  // each rule's number, for the journal
};

}  // namespace kiv::standin
