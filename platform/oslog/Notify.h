#pragma once
// The notify layer: named, data-less notifications within the process. A registration names
// a notification and a queue; a later post of that name submits the handler to the queue,
// unless a delivery of that registration is already waiting to start: posts are coalesced
// into it (a burst of posts gives one delivery). A post made after a delivery has started
// gives another. After notify_cancel no further handler of that registration starts (a
// handler already running finishes).
//
// Thread-safety: every function may be called from any thread, also from inside a handler.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/dispatch/Dispatch.h"

namespace plat {

inline constexpr uint32_t NOTIFY_STATUS_OK = 0;
inline constexpr uint32_t NOTIFY_STATUS_INVALID_NAME = 1;
inline constexpr uint32_t NOTIFY_STATUS_INVALID_TOKEN = 2;
inline constexpr uint32_t NOTIFY_STATUS_FAILED = 1000000;

using notify_handler_t = std::function<void(int token)>;

// Registers `handler` for `name`, delivered on `queue`; the token goes to *outToken.
// Returns NOTIFY_STATUS_INVALID_NAME for an empty name, NOTIFY_STATUS_FAILED for a null
// token pointer, queue or handler.
uint32_t notify_register_dispatch(const std::string& name, int* outToken,
                                  const DispatchQueueRef& queue, notify_handler_t handler);
// Ends a registration. NOTIFY_STATUS_INVALID_TOKEN for an unknown token.
uint32_t notify_cancel(int token);
// Delivers `name` to every registration of it. NOTIFY_STATUS_INVALID_NAME for an empty name.
uint32_t notify_post(const std::string& name);

}  // namespace plat
