// A mutex for state an owner shares with handlers that run on the server's
// own thread: the Windows toolchain's threading model has no std::mutex.
// Use it with std::lock_guard / std::unique_lock.
#pragma once
#include <memory>

struct HttpMutex {
  HttpMutex();
  ~HttpMutex();
  HttpMutex(const HttpMutex&) = delete;
  HttpMutex& operator=(const HttpMutex&) = delete;
  void lock();
  void unlock();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
