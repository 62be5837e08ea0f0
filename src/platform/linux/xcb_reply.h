// Owner of an XCB reply: XCB hands replies out with malloc and leaves freeing to the caller.
#pragma once

#include <cstdlib>
#include <memory>

namespace velmaris::platform::linux_desktop {

struct FreeReply {
  void operator()(void* reply) const noexcept { std::free(reply); }
};

template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

}  // namespace velmaris::platform::linux_desktop
