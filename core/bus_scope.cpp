#include "core/bus_scope.h"

namespace kv {

TBusScope::TBusScope(const TCategories& categories) {
  loop_ = MainLoop();
  if (!loop_) {
    own_loop_ = std::make_unique<TMainLoop>();
    own_loop_->StartThread();
    loop_ = own_loop_.get();
    SetMainLoop(loop_);
  }
  hub_ = TMsgMonitorInterface::Create(loop_);
  for (const auto& [name, kind] : categories) hub_->RegisterCategory(name, kind);
}

TBusScope::~TBusScope() {
  hub_->Stop();
  hub_.reset();
  if (own_loop_) {
    SetMainLoop(nullptr);
    own_loop_.reset();  // stops and joins the loop thread
  }
}

}  // namespace kv
