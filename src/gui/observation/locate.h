// Finding an observed element again in a window's live tree, and proving that a selector
// designates exactly that element. Both searches are bounded and change no stored state.
#pragma once

#include "platform/accessibility.h"

namespace velmaris::gui {

struct LocatedElement {
  enum class Case { found, absent, limitExceeded };
  Case result = Case::absent;
  platform::Element element;  // the live element when found
};

}  // namespace velmaris::gui
