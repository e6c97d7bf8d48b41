#pragma once
// The mapper's one lock, guarding every per-class table and cache of net/model.
// Never held while user code (hooks, blocks, setters) runs.

#include <mutex>

namespace hv_model_detail {
std::mutex& modelLock();
}  // namespace hv_model_detail
