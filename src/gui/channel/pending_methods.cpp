// Method implementations the helper does not have yet. Each answers "internal_error" once
// a request has passed its shape check, so clients see a refusal rather than a crash.
// Each body is replaced, in its own folder, when the method is built.
#include "gui/ax_helper.h"

namespace velmaris::gui {

Json AXHelper::mutateResult(const std::string&, std::int64_t, const std::string&,
                            const std::string&, const std::optional<Json>&, bool,
                            const std::optional<std::string>&,
                            const std::optional<SemanticSelector>&, const RequestDeadline&) {
  raise("internal_error");
}

}  // namespace velmaris::gui
