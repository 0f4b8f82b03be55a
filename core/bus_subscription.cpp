#include "core/bus_subscription.h"

namespace kv {

TBusSubscription& TBusSubscription::operator=(TBusSubscription&& other) noexcept {
  if (this != &other) {
    Reset();
    hub_ = std::move(other.hub_);
    monitor_ = std::exchange(other.monitor_, nullptr);
    alive_ = std::move(other.alive_);
  }
  return *this;
}

void TBusSubscription::Reset() {
  TMonitor* monitor = std::exchange(monitor_, nullptr);
  const auto hub = hub_.lock();
  const auto alive = alive_.lock();
  hub_.reset();
  alive_.reset();
  if (monitor && hub && alive) hub->RemoveMonitor(monitor);
}

bool TBusSubscription::Active() const { return monitor_ && !hub_.expired() && !alive_.expired(); }

TBusSubscription Subscribe(TMsgMonitorInterface& hub, TMonitor& monitor) {
  hub.AddMonitor(&monitor);
  return TBusSubscription(hub.weak_from_this(), &monitor, monitor.Lifetime());
}

TBusSubscription Subscribe(TMonitor& monitor) {
  const auto hub = GetMonitorInterface();
  return hub ? Subscribe(*hub, monitor) : TBusSubscription();
}

}  // namespace kv
