// A mutex for state two threads share (the station and its web view's
// thread). The Windows toolchain's threading model has no std::mutex, so
// each system's own lock sits behind this. Use it with std::lock_guard /
// std::unique_lock.
#pragma once
#include <memory>

struct PlatMutex {
  PlatMutex();
  ~PlatMutex();
  PlatMutex(const PlatMutex&) = delete;
  PlatMutex& operator=(const PlatMutex&) = delete;
  void lock();
  void unlock();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
