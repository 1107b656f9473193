// A server's open connections and the one set of rules they live by, for
// update-server's protocol and every HTTP server of the tree alike:
// - a connection is in an exchange from the moment a command or request is
//   whole until its answer is out; otherwise it is idle, a half-sent
//   command included;
// - when a class of connections is full, the one idle longest gives way to
//   the newcomer; one in an exchange never does, so a box being served is
//   never cut for a peer that only connects;
// - every connection has one deadline at a time, and what it stands for is
//   what the log says when the sweep closes it.
// Times are milliseconds of the caller's clock, so that tests can move it.
#pragma once
#include <asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <list>
#include <vector>

// Connections counted apart: an event stream only listens, and streams
// have a bound of their own so that they never keep out a page or control.
enum class ConnClass { kPlain, kStream };

constexpr int64_t kConnNever = std::numeric_limits<int64_t>::max();

struct Conn {
  asio::ip::tcp::socket socket;
  ConnClass kind = ConnClass::kPlain;
  bool in_exchange = false;
  int64_t idle_since = 0;  // idle: since when; a stream: since it became one
  int64_t deadline = kConnNever;
  const char* limit = nullptr;    // what the deadline stands for
  const char* closed = nullptr;   // why it was closed; nullptr while open
  std::list<Conn*>::iterator at;  // in its table
  explicit Conn(asio::ip::tcp::socket s) : socket(std::move(s)) {}
};

struct ConnTable {
  std::list<Conn*> all;  // newest first; closed ones until their owner removes them
};

void conn_add(ConnTable* t, Conn* c, int64_t now);
void conn_remove(ConnTable* t, Conn* c);

// Open connections of `kind`, those already closed not counted.
size_t conn_count(const ConnTable* t, ConnClass kind);

// Idle from `now`, with a deadline `ms` later (0: none) that stands for
// `limit`.
void conn_idle(Conn* c, int64_t now, uint32_t ms, const char* limit);
// In an exchange from now on: never evicted.
void conn_exchange(Conn* c);
// A new deadline `ms` from `now` (0: none) without a change of state.
void conn_arm(Conn* c, int64_t now, uint32_t ms, const char* limit);

// What room there is for one more of `kind` under `max`.
enum class ConnRoom {
  kRoom,   // below max: nothing to do
  kEvict,  // *victim, the one idle longest, must go first
  kFull,   // every one is in an exchange: refuse the newcomer
};
ConnRoom conn_make_room(ConnTable* t, ConnClass kind, size_t max, Conn** victim);

// Open connections whose deadline has come, for the caller to close.
std::vector<Conn*> conn_due(const ConnTable* t, int64_t now);

// Marks `c` closed for `why` (the first reason stands) and closes its
// socket: its pending operations end with an error and its owner unwinds.
void conn_close(Conn* c, const char* why);
