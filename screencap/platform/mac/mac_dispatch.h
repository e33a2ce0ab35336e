#pragma once

// Objective-C++ with ARC only: there the dispatch objects below are retained
// and released by the compiler; in plain C++ they would be different types.
#if !defined(__OBJC__) || !__has_feature(objc_arc)
#error "mac_dispatch.h is for Objective-C++ compiled with -fobjc-arc"
#endif

#include <dispatch/dispatch.h>

// Where dispatch objects are plain C objects (an SDK that reads the deployment
// target as unknown, or OS_OBJECT_USE_OBJC=0), ARC ignores them and every
// queue and timer here would leak, yet all of it compiles.
#if !OS_OBJECT_USE_OBJC
#error "dispatch objects must be Objective-C objects managed by ARC (OS_OBJECT_USE_OBJC)"
#endif

#include <string>

#include "screencap/platform/dispatch.h"

namespace vexel::screencap {

// A labelled serial queue of Grand Central Dispatch. ScreenCaptureKit takes
// the dispatch queue itself as the stream's sample handler queue.
class MacSerialQueue final : public SerialQueue {
 public:
  MacSerialQueue(std::string label, dispatch_queue_t queue);
  const std::string& label() const override { return label_; }
  void async(Work work) override;
  dispatch_queue_t queue() const { return queue_; }

 private:
  std::string label_;
  dispatch_queue_t queue_;
};

// The dispatch queue behind `queue`, or null when another provider made it.
dispatch_queue_t nativeQueue(const SerialQueue* queue);

}  // namespace vexel::screencap
