#pragma once
// plat::CADisplayLink: calls its callback once per frame (1/60 s on plat::Clock) on the run
// loop it was added to, while not paused.
//
// Thread-safety: setPaused(), invalidate() and the getters may be called from any thread; the
// callback runs on the loop's thread.

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/RunLoop.h"

namespace plat {

class CADisplayLink;
using CADisplayLinkRef = std::shared_ptr<CADisplayLink>;

class CADisplayLink : public std::enable_shared_from_this<CADisplayLink> {
 public:
  using Callback = std::function<void(const CADisplayLinkRef& link)>;
  static constexpr double kFrameDuration = 1.0 / 60.0;

  // Target-style: bind the target into `selector` (weakly if the link must not keep it alive).
  static CADisplayLinkRef displayLinkWithTargetSelector(Callback selector);

  CADisplayLink(const CADisplayLink&) = delete;
  CADisplayLink& operator=(const CADisplayLink&) = delete;
  ~CADisplayLink();

  // Starts ticking on `loop` in `mode`. Ignored after invalidate().
  void addToRunLoopForMode(const RunLoopRef& loop, const std::string& mode);
  void removeFromRunLoopForMode(const RunLoopRef& loop, const std::string& mode);
  // Stops for good and releases the callback.
  void invalidate();

  bool isPaused() const;
  void setPaused(bool paused);
  // Clock seconds of the last frame shown, and of the next one.
  double timestamp() const;
  double targetTimestamp() const;
  double duration() const { return kFrameDuration; }
  long preferredFramesPerSecond() const { return 60; }

  struct Impl;
  explicit CADisplayLink(Callback callback);

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace plat
