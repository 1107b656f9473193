// netsim: the two network peers of the update tool on loopback TCP, for the
// tests and for demos. `netsim box` plays a box's network update service,
// `netsim server` the update server. Independent of the tool's own code, so
// that a misreading of the protocol on one side does not hide on the other.
//
// Prints "PORT <n>" once listening, serves the given number of connections
// one after the other, then prints a summary and exits 0 (2 on bad usage,
// 3 when nobody connects or a peer stops talking within --timeout).
//
// This file listens, takes the connections in turn and reports; options.cc
// reads the command line, conn.cc reads and writes a connection, box.cc and
// server.cc are the two peers' sides of the dialogue.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/std_streams.h"
#include "tools/netsim/box.h"
#include "tools/netsim/conn.h"
#include "tools/netsim/options.h"
#include "tools/netsim/server.h"

namespace {

// `small_window`: a small fixed receive window, so that a large image cannot
// vanish into buffers before a reset and the peer's send is bound to fail.
int listen_loopback(int port, bool small_window) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (small_window) {
    int small = 65536;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || listen(fd, 4) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  plat_std_streams_guard();
  signal(SIGPIPE, SIG_IGN);
  Config cfg;
  parse_options(argc, argv, &cfg);
  Run run;
  run.timeout_ms = cfg.timeout_s * 1000;
  if (!cfg.record_path.empty()) {
    run.record_fd = open(cfg.record_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (run.record_fd < 0) usage(("cannot write " + cfg.record_path).c_str());
  }
  int lfd = listen_loopback(cfg.port, cfg.close_at == CloseAt::kImage);
  if (lfd < 0) {
    fprintf(stderr, "netsim: cannot listen on 127.0.0.1:%d: %s\n", cfg.port, strerror(errno));
    return 2;
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  getsockname(lfd, reinterpret_cast<sockaddr*>(&bound), &len);
  printf("PORT %d\n", ntohs(bound.sin_port));
  fflush(stdout);

  int images_ok = 0, images_short = 0;
  for (int i = 0; i < cfg.connections && !run.timed_out; ++i) {
    pollfd p = {lfd, POLLIN, 0};
    if (poll(&p, 1, run.timeout_ms) <= 0) {
      run.timed_out = true;
      break;
    }
    Conn c;
    c.run = &run;
    c.fd = accept(lfd, nullptr, nullptr);
    if (c.fd < 0) continue;
    note(&run, "CONNECTION " + std::to_string(i + 1));
    if (cfg.mode == Mode::kBox) {
      ImageResult r = serve_box(cfg, &c);
      images_ok += r == ImageResult::kComplete;
      images_short += r == ImageResult::kBrokenOff;
    } else {
      serve_server(cfg, &c);
    }
    // After our own hang-up, keep reading until the peer closes too, so the
    // record holds everything it sent (a goodbye after a broken transfer).
    if (c.fd >= 0 && !run.timed_out) {
      c.closed = false;
      while (fill(&c)) c.pending.clear();
      if (!run.timed_out) note(&run, "CLOSED");
    }
    if (c.fd >= 0) close(c.fd);
  }
  close(lfd);
  if (run.record_fd >= 0) close(run.record_fd);

  if (run.timed_out) note(&run, "TIMEOUT");
  if (cfg.mode == Mode::kBox)
    note(&run, images_short ? "RESULT SHORT-IMAGE" : images_ok ? "RESULT OK" : "RESULT NO-IMAGE");
  else note(&run, run.timed_out ? "RESULT TIMEOUT" : "RESULT OK");
  for (const std::string& line : run.summary) printf("%s\n", line.c_str());
  fflush(stdout);
  return run.timed_out ? 3 : 0;
}
