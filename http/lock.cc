#include "http/lock.h"

#include <asio/detail/mutex.hpp>

struct HttpMutex::Impl {
  asio::detail::mutex m;
};

HttpMutex::HttpMutex() : impl_(std::make_unique<Impl>()) {}
HttpMutex::~HttpMutex() = default;
void HttpMutex::lock() { impl_->m.lock(); }
void HttpMutex::unlock() { impl_->m.unlock(); }
