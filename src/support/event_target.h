// Where the steps and helpers report: the component's RaiseEvent. Implemented by CQendix, which
// filters debug events, writes the day's log and calls the host's sinks. Any thread may call it.
#pragma once

#include <cstdint>

#include "qendix/qendix.h"

namespace qx {

class EventTarget {
 public:
  virtual void RaiseEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin,
                          int32_t code, const BStr& fileName, const BStr& msg) = 0;

 protected:
  ~EventTarget() = default;
};

}  // namespace qx
