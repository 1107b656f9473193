#include <mutex>

#include "platform/mutex.h"

struct PlatMutex::Impl {
  std::mutex m;
};

PlatMutex::PlatMutex() : impl_(std::make_unique<Impl>()) {}
PlatMutex::~PlatMutex() = default;
void PlatMutex::lock() { impl_->m.lock(); }
void PlatMutex::unlock() { impl_->m.unlock(); }
