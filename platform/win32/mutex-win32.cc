#include <windows.h>

#include "platform/mutex.h"

// A slim lock: no kernel object, never needs freeing.
struct PlatMutex::Impl {
  SRWLOCK lock = SRWLOCK_INIT;
};

PlatMutex::PlatMutex() : impl_(std::make_unique<Impl>()) {}
PlatMutex::~PlatMutex() = default;
void PlatMutex::lock() { AcquireSRWLockExclusive(&impl_->lock); }
void PlatMutex::unlock() { ReleaseSRWLockExclusive(&impl_->lock); }
