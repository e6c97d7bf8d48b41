#include "platform/network/NSOperation.h"

namespace plat {

void NSOperation::start() {
  if (finished_.load()) return;
  if (!cancelled_.load()) {
    executing_.store(true);
    main();
    executing_.store(false);
  }
  finished_.store(true);
}

}  // namespace plat
