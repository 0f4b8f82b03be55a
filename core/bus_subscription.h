// TBusSubscription: a subscriber's membership in a hub as a handle. The
// subscriber leaves the hub when the handle is reset, assigned or destroyed,
// so an owner that forgets to unsubscribe cannot leave the hub delivering
// to it.
#pragma once

#include <memory>
#include <utility>

#include "core/bus_hub.h"
#include "core/bus_monitor.h"

namespace kv {

class TBusSubscription {
 public:
  TBusSubscription() = default;
  TBusSubscription(TBusSubscription&& other) noexcept
      : hub_(std::move(other.hub_)),
        monitor_(std::exchange(other.monitor_, nullptr)),
        alive_(std::move(other.alive_)) {}
  TBusSubscription& operator=(TBusSubscription&& other) noexcept;
  TBusSubscription(const TBusSubscription&) = delete;
  TBusSubscription& operator=(const TBusSubscription&) = delete;
  ~TBusSubscription() { Reset(); }

  // Takes the subscriber out of the hub ("Lost Monitor:" notice), when both
  // still exist and it is still a member: afterwards the hub queues nothing
  // more for it. What it has queued already, and its thread, stay with its
  // owner (TMonitor::Stop). Any thread, but not while the subscriber is
  // being destroyed on another.
  void Reset();
  // The hub and the subscriber both exist and this handle has not been reset.
  bool Active() const;
  explicit operator bool() const { return Active(); }

 private:
  friend TBusSubscription Subscribe(TMsgMonitorInterface& hub, TMonitor& monitor);
  TBusSubscription(std::weak_ptr<TMsgMonitorInterface> hub, TMonitor* monitor,
                   std::weak_ptr<const void> alive)
      : hub_(std::move(hub)), monitor_(monitor), alive_(std::move(alive)) {}

  std::weak_ptr<TMsgMonitorInterface> hub_;
  TMonitor* monitor_ = nullptr;
  // Expires with the subscriber: a handle that outlives its subscriber never
  // touches it, nor a new one at the same address.
  std::weak_ptr<const void> alive_;
};

// Joins the subscriber to the hub (AddMonitor) for as long as the returned
// handle lives. Any thread.
[[nodiscard]] TBusSubscription Subscribe(TMsgMonitorInterface& hub, TMonitor& monitor);
// The same with the published hub; an empty handle when none is published.
[[nodiscard]] TBusSubscription Subscribe(TMonitor& monitor);

}  // namespace kv
