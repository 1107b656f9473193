// The server's state, owned by server_run and handed to every part of the
// one thread: the connections, the listeners and the catalogue served.
#pragma once
#include <asio.hpp>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <vector>

#include "server/catalogue.h"
#include "server/server.h"

using Clock = std::chrono::steady_clock;

struct Connection {
  asio::ip::tcp::socket socket;
  asio::ip::tcp::endpoint peer;
  Clock::time_point deadline = Clock::time_point::max();
  const char* expired = nullptr;  // why the sweep closed it
  const char* limit = nullptr;    // what the deadline stands for
  bool between_exchanges = true;  // waiting for a command byte
  std::list<Connection*>::iterator at;
  explicit Connection(asio::ip::tcp::socket s) : socket(std::move(s)) {}
};

struct State {
  ServerConfig config;
  asio::io_context io;
  std::shared_ptr<const Catalogue> catalogue;
  std::list<Connection*> connections;
  // The update protocol's listeners. Another protocol's listener lives on
  // the same io and registers in `on_stop` what closes it.
  std::vector<std::unique_ptr<asio::ip::tcp::acceptor>> acceptors;
  std::vector<std::function<void()>> on_stop;
  bool stopping = false;
  Clock::time_point stop_deadline;
};
