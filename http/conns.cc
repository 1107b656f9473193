#include "http/conns.h"

void conn_add(ConnTable* t, Conn* c, int64_t now) {
  t->all.push_front(c);
  c->at = t->all.begin();
  c->idle_since = now;
}

void conn_remove(ConnTable* t, Conn* c) { t->all.erase(c->at); }

size_t conn_count(const ConnTable* t, ConnClass kind) {
  size_t n = 0;
  for (const Conn* c : t->all)
    if (c->kind == kind && c->closed == nullptr) ++n;
  return n;
}

void conn_arm(Conn* c, int64_t now, uint32_t ms, const char* limit) {
  c->limit = limit;
  c->deadline = ms == 0 ? kConnNever : now + ms;
}

void conn_idle(Conn* c, int64_t now, uint32_t ms, const char* limit) {
  c->in_exchange = false;
  c->idle_since = now;
  conn_arm(c, now, ms, limit);
}

void conn_exchange(Conn* c) { c->in_exchange = true; }

ConnRoom conn_make_room(ConnTable* t, ConnClass kind, size_t max, Conn** victim) {
  if (conn_count(t, kind) < max) return ConnRoom::kRoom;
  // Newest first: on a tie within the clock's millisecond, the one that
  // came first goes.
  Conn* oldest = nullptr;
  for (Conn* c : t->all)
    if (c->kind == kind && c->closed == nullptr && !c->in_exchange &&
        (oldest == nullptr || c->idle_since <= oldest->idle_since))
      oldest = c;
  if (oldest == nullptr) return ConnRoom::kFull;
  *victim = oldest;
  return ConnRoom::kEvict;
}

std::vector<Conn*> conn_due(const ConnTable* t, int64_t now) {
  std::vector<Conn*> due;
  for (Conn* c : t->all)
    if (c->closed == nullptr && now >= c->deadline) due.push_back(c);
  return due;
}

void conn_close(Conn* c, const char* why) {
  if (c->closed == nullptr) c->closed = why;
  asio::error_code ec;
  c->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  c->socket.close(ec);
}
