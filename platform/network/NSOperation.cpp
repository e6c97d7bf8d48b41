#include "platform/network/NSOperation.h"

namespace plat {

void NSOperation::start() {
  if (finished_.load() || started_.exchange(true)) return;
  bool ran = !cancelled_.load();
  if (ran) {
    willChangeValueForKey(kNSOperationIsExecutingKey);
    executing_.store(true);
    didChangeValueForKey(kNSOperationIsExecutingKey);
    main();
    willChangeValueForKey(kNSOperationIsExecutingKey);
  }
  willChangeValueForKey(kNSOperationIsFinishedKey);
  executing_.store(false);
  finished_.store(true);
  if (ran) didChangeValueForKey(kNSOperationIsExecutingKey);
  didChangeValueForKey(kNSOperationIsFinishedKey);
}

void NSOperation::cancel() {
  if (cancelled_.load()) return;
  willChangeValueForKey(kNSOperationIsCancelledKey);
  if (cancelled_.exchange(true)) return;
  didChangeValueForKey(kNSOperationIsCancelledKey);
}

}  // namespace plat
