// Naming an element by what it presents. SemanticTarget is what an element showed when it
// was observed; SemanticSelector is what a request asks for (built by the dispatcher) and
// decides whether a target is the one meant. Plain values; any thread.
#pragma once

#include <optional>
#include <string>

namespace velmaris::gui {

struct SemanticTarget {
  std::optional<std::string> role;
  std::optional<std::string> label;       // none when shortened or not shown
  std::optional<std::string> identifier;  // none when absent, dropped or not read

  bool operator==(const SemanticTarget&) const = default;
};

struct SemanticSelector {
  std::string role;
  std::optional<std::string> label;
  std::optional<std::string> identifier;

  bool operator==(const SemanticSelector&) const = default;

  // Exact, case-sensitive equality of every field the selector gives, where precomposed
  // and decomposed spellings of the same text are equal. No trimming, no folding.
  bool matches(const SemanticTarget& target) const;
};

// Equality under canonical equivalence.
bool canonicallyEqual(const std::string& a, const std::string& b);

}  // namespace velmaris::gui
