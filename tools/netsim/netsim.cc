// netsim: the two network peers of the update tool on loopback TCP, for the
// tests and for demos. `netsim box` plays a box's network update service,
// `netsim server` the update server. Independent of the tool's own code, so
// that a misreading of the protocol on one side does not hide on the other.
//
// Prints "PORT <n>" once listening, serves the given number of connections
// one after the other, then prints a summary and exits 0 (2 on bad usage,
// 3 when nobody connects or a peer stops talking within --timeout).
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace {

enum class Mode { kBox, kServer };

// Where a scripted fault closes the connection.
enum class CloseAt { kNone, kHello, kIdentity, kImage, kGreeting, kQuery, kSize, kSoftware };

struct Options {
  Mode mode = Mode::kBox;
  int port = 0;
  int connections = 1;
  int timeout_s = 60;
  std::string record_path;
  CloseAt close_at = CloseAt::kNone;
  long close_count = -1;  // bytes of the answer sent before closing; -1 = default

  // box
  int hello_reply = 0x01;
  uint8_t prefix[2] = {0x00, 0x00};
  uint8_t major = 0x15;
  uint8_t minor = 0x00;
  uint8_t extra[3] = {0x00, 0x00, 0x00};
  std::string text = "netsim box";
  long text_length = -1;  // >= 0: that many 'a' and no zero byte
  int image_reply = 0x00;
  bool close_after_image = false;
  std::string image_out;
  std::string unlink_path;  // removed when the identity request arrives
  std::string replace_path, replacement;  // replacement renamed onto replace_path then

  // server
  int greeting_reply = 0x01;
  long long size_override = -1;
  long slow_bps = 0;
};

// Software is found by channel and the low 8 bits of major and minor.
using SoftKey = std::tuple<int, int, int>;
struct Software {
  std::string bytes;
  bool has_file = false;
  bool has_version = false;
  uint8_t version[3] = {0, 0, 0};
};

Options g_opt;
std::map<SoftKey, Software> g_software;
int g_record_fd = -1;
std::vector<std::string> g_summary;
bool g_timed_out = false;

void note(const std::string& line) { g_summary.push_back(line); }

std::string hex_byte(int b) {
  char buf[8];
  snprintf(buf, sizeof buf, "0x%02x", b & 0xff);
  return buf;
}

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// One accepted connection. Bytes that arrive while we are sending (a goodbye
// during a refused download) are kept in `pending` and served first.
struct Conn {
  int fd = -1;
  bool closed = false;  // peer gone or we hung up
  std::string pending;
};

void record(const char* data, size_t n) {
  if (g_record_fd < 0) return;
  while (n > 0) {
    ssize_t w = write(g_record_fd, data, n);
    if (w <= 0) return;
    data += w;
    n -= static_cast<size_t>(w);
  }
}

// Reads whatever is there (waiting up to the timeout) into c->pending.
// Returns false when the peer closed, failed or stayed silent.
bool fill(Conn* c) {
  if (c->closed) return false;
  pollfd p = {c->fd, POLLIN, 0};
  int r = poll(&p, 1, g_opt.timeout_s * 1000);
  if (r == 0) {
    g_timed_out = true;
    c->closed = true;
    return false;
  }
  if (r < 0) {
    c->closed = true;
    return false;
  }
  char buf[65536];
  ssize_t n = recv(c->fd, buf, sizeof buf, 0);
  if (n <= 0) {
    c->closed = true;
    return false;
  }
  record(buf, static_cast<size_t>(n));
  c->pending.append(buf, static_cast<size_t>(n));
  return true;
}

bool get_byte(Conn* c, uint8_t* b) {
  while (c->pending.empty())
    if (!fill(c)) return false;
  *b = static_cast<uint8_t>(c->pending[0]);
  c->pending.erase(0, 1);
  return true;
}

// Up to `n` bytes into `out`; returns how many came before the peer stopped.
size_t get_bytes(Conn* c, std::string* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    if (c->pending.empty() && !fill(c)) break;
    size_t take = std::min(n - got, c->pending.size());
    if (out) out->append(c->pending, 0, take);
    c->pending.erase(0, take);
    got += take;
  }
  return got;
}

bool put(Conn* c, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = send(c->fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      return false;  // the reads find the end, after what the peer sent
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool put_byte(Conn* c, int b) {
  uint8_t v = static_cast<uint8_t>(b);
  return put(c, &v, 1);
}

void hang_up(Conn* c) {
  // Drain what the peer already sent so the record is complete, then close.
  shutdown(c->fd, SHUT_WR);
  c->closed = true;
}

// ---- box ----

// Closes at once with a reset, so that every later send of the peer fails.
void reset(Conn* c) {
  linger l = {1, 0};
  setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(c->fd);
  c->fd = -1;
  c->closed = true;
}

void box_identity(Conn* c) {
  note("IDENTITY");
  // The tool reads its PAD file again after this exchange: a file gone by
  // then shows how it copes with a failed reload.
  if (!g_opt.unlink_path.empty() && unlink(g_opt.unlink_path.c_str()) == 0)
    note("UNLINKED " + g_opt.unlink_path);
  // ... and a file rebuilt by then, how it tells the new one from the one
  // it checked.
  if (!g_opt.replace_path.empty() &&
      rename(g_opt.replacement.c_str(), g_opt.replace_path.c_str()) == 0)
    note("REPLACED " + g_opt.replace_path);
  std::string rec;
  rec.push_back(0x01);
  rec.append(reinterpret_cast<const char*>(g_opt.prefix), 2);
  rec.push_back(static_cast<char>(g_opt.major));
  rec.push_back(static_cast<char>(g_opt.minor));
  rec.append(reinterpret_cast<const char*>(g_opt.extra), 3);
  if (g_opt.text_length >= 0) {
    rec.append(static_cast<size_t>(g_opt.text_length), 'a');
  } else {
    rec.append(g_opt.text);
    rec.push_back('\0');
  }
  if (g_opt.close_at == CloseAt::kIdentity) {
    // Default: the acknowledge, the prefix and box major, then nothing.
    size_t k = g_opt.close_count >= 0 ? static_cast<size_t>(g_opt.close_count) : 4;
    put(c, rec.data(), std::min(k, rec.size()));
    note("CLOSE AT IDENTITY");
    hang_up(c);
    return;
  }
  if (!put(c, rec.data(), rec.size())) {
    note("IDENTITY SEND FAILED");
    return;
  }
  uint8_t ack;
  if (!get_byte(c, &ack))
    note("IDENTITY ACK MISSING");
  else if (ack != 0x01)
    note("IDENTITY ACK BAD " + hex_byte(ack));
  else
    note("IDENTITY ACK");
  if (g_opt.close_at == CloseAt::kImage && g_opt.close_count < 0 && !c->closed) {
    note("RESET BEFORE IMAGE");
    reset(c);
  }
}

// Returns true when the whole image came.
bool box_image(Conn* c) {
  std::string len_bytes;
  if (get_bytes(c, &len_bytes, 4) < 4) {
    note("IMAGE LENGTH SHORT");
    return false;
  }
  uint32_t len = 0;
  for (char ch : len_bytes) len = (len << 8) | static_cast<uint8_t>(ch);
  std::string image;
  if (g_opt.close_at == CloseAt::kImage && g_opt.close_count >= 0) {
    // A box that resets in the middle of the image: the peer's send may
    // well have succeeded into its buffers by then.
    get_bytes(c, &image, std::min<size_t>(len, static_cast<size_t>(g_opt.close_count)));
    note("RESET IN IMAGE after " + std::to_string(image.size()) + " bytes");
    reset(c);
    return false;
  }
  size_t got = get_bytes(c, &image, len);
  if (!g_opt.image_out.empty()) {
    FILE* f = fopen(g_opt.image_out.c_str(), "wb");
    if (f) {
      fwrite(image.data(), 1, image.size(), f);
      fclose(f);
    }
  }
  if (got < len) {
    note("IMAGE SHORT " + std::to_string(got) + " of " + std::to_string(len) + " bytes");
    return false;
  }
  note("IMAGE " + std::to_string(len) + " bytes");
  if (g_opt.close_after_image) {
    note("CLOSE AFTER IMAGE");
    hang_up(c);
  } else {
    put_byte(c, g_opt.image_reply);
  }
  return true;
}

// Returns 1 image complete, 0 no image, -1 image broken off.
int serve_box(Conn* c) {
  int image = 0;
  uint8_t cmd;
  while (!c->closed && get_byte(c, &cmd)) {
    switch (cmd) {
      case 0x01:
        note("HELLO");
        if (g_opt.close_at == CloseAt::kHello) {
          note("CLOSE AT HELLO");
          hang_up(c);
        } else {
          put_byte(c, g_opt.hello_reply);
        }
        break;
      case 0x02:
        box_identity(c);
        break;
      case 0x09:
        image = box_image(c) ? 1 : -1;
        break;
      default:
        note("UNKNOWN " + hex_byte(cmd));
        break;
    }
  }
  return image;
}

// ---- server ----

const Software* find_software(int ch, int maj, int min) {
  auto it = g_software.find(SoftKey(ch, maj, min));
  return it == g_software.end() ? nullptr : &it->second;
}

std::string key_text(int ch, int maj, int min) {
  return std::to_string(ch) + " " + std::to_string(maj) + "." + std::to_string(min);
}

// Sends the software, paced by --slow, and stops early when the peer speaks
// (a tool that refuses the size sends its goodbye at once) or goes away.
// Returns the count sent.
uint64_t send_software(Conn* c, const std::string& bytes, uint64_t size, uint64_t stop_at) {
  uint64_t limit = std::min(size, stop_at);
  uint64_t sent = 0;
  long long start = now_ms();
  std::string chunk;
  while (sent < limit) {
    uint64_t allowed = limit;
    if (g_opt.slow_bps > 0) {
      long long elapsed = now_ms() - start;
      allowed = std::min<uint64_t>(limit, static_cast<uint64_t>(elapsed) * g_opt.slow_bps / 1000 + 1);
    }
    pollfd p = {c->fd, static_cast<short>(POLLIN | (allowed > sent ? POLLOUT : 0)), 0};
    int r = poll(&p, 1, allowed > sent ? g_opt.timeout_s * 1000 : 10);
    if (r < 0 && errno != EINTR) break;
    if (r == 0 && allowed > sent) {
      g_timed_out = true;
      break;
    }
    if (p.revents & POLLIN) {
      if (fill(c)) note("PEER SPOKE DURING SOFTWARE");
      break;
    }
    // A peer that went away may still have sent bytes (its goodbye): leave
    // the end of the connection to the reads, which get those first.
    if (p.revents & (POLLERR | POLLHUP)) break;
    if (!(p.revents & POLLOUT)) continue;
    size_t n = static_cast<size_t>(std::min<uint64_t>(allowed - sent, 65536));
    chunk.clear();
    for (size_t i = 0; i < n; ++i) {
      uint64_t at = sent + i;
      // Past the file (an announced size larger than it): a counting pattern.
      chunk.push_back(at < bytes.size() ? bytes[static_cast<size_t>(at)]
                                        : static_cast<char>(at & 0xff));
    }
    ssize_t w = send(c->fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      break;
    }
    sent += static_cast<uint64_t>(w);
  }
  return sent;
}

void server_query(Conn* c) {
  std::string args;
  if (get_bytes(c, &args, 3) < 3) {
    note("QUERY SHORT");
    return;
  }
  int ch = static_cast<uint8_t>(args[0]), maj = static_cast<uint8_t>(args[1]),
      min = static_cast<uint8_t>(args[2]);
  uint8_t answer[3] = {0, 0, 0};
  if (const Software* s = find_software(ch, maj, min)) {
    if (s->has_version)
      memcpy(answer, s->version, 3);
    else if (s->has_file)
      answer[0] = 1, answer[1] = 2, answer[2] = 3;
  }
  note("QUERY " + key_text(ch, maj, min) + " -> " + std::to_string(answer[0]) + "." +
       std::to_string(answer[1]) + "." + std::to_string(answer[2]));
  if (g_opt.close_at == CloseAt::kQuery) {
    size_t k = g_opt.close_count >= 0 ? static_cast<size_t>(g_opt.close_count) : 0;
    put(c, answer, std::min<size_t>(k, 3));
    note("CLOSE AT QUERY");
    hang_up(c);
    return;
  }
  put(c, answer, 3);
}

void server_size(Conn* c) {
  std::string args;
  if (get_bytes(c, &args, 3) < 3) {
    note("SIZE SHORT");
    return;
  }
  int ch = static_cast<uint8_t>(args[0]), maj = static_cast<uint8_t>(args[1]),
      min = static_cast<uint8_t>(args[2]);
  const Software* s = find_software(ch, maj, min);
  std::string empty;
  const std::string& bytes = s && s->has_file ? s->bytes : empty;
  uint64_t size = g_opt.size_override >= 0 ? static_cast<uint64_t>(g_opt.size_override)
                                           : bytes.size();
  uint32_t size32 = static_cast<uint32_t>(size);
  uint8_t be[4] = {static_cast<uint8_t>(size32 >> 24), static_cast<uint8_t>(size32 >> 16),
                   static_cast<uint8_t>(size32 >> 8), static_cast<uint8_t>(size32)};
  note("SIZE " + key_text(ch, maj, min) + " -> " + std::to_string(size32));
  if (g_opt.close_at == CloseAt::kSize) {
    // Default: the whole size, then nothing; size:K sends only K of its bytes.
    size_t k = g_opt.close_count >= 0 ? static_cast<size_t>(g_opt.close_count) : 4;
    put(c, be, std::min<size_t>(k, 4));
    note("CLOSE AT SIZE");
    hang_up(c);
    return;
  }
  if (!put(c, be, 4) || size32 == 0) return;
  uint64_t stop = g_opt.close_at == CloseAt::kSoftware && g_opt.close_count >= 0
                      ? static_cast<uint64_t>(g_opt.close_count)
                      : UINT64_MAX;
  uint64_t sent = send_software(c, bytes, size32, stop);
  note("SOFTWARE " + std::to_string(sent) + " of " + std::to_string(size32) + " bytes");
  if (g_opt.close_at == CloseAt::kSoftware && sent == stop) {
    note("CLOSE AT SOFTWARE");
    hang_up(c);
  }
}

void serve_server(Conn* c) {
  uint8_t cmd;
  while (!c->closed && get_byte(c, &cmd)) {
    switch (cmd) {
      case 'B':
        note("GREETING");
        if (g_opt.close_at == CloseAt::kGreeting) {
          note("CLOSE AT GREETING");
          hang_up(c);
        } else {
          put_byte(c, g_opt.greeting_reply);
        }
        break;
      case 'C':
        server_query(c);
        break;
      case 'D':
        server_size(c);
        break;
      case 'Z':
        note("GOODBYE");
        break;
      default:
        note("UNKNOWN " + hex_byte(cmd));
        break;
    }
  }
}

// ---- command line ----

[[noreturn]] void usage(const char* why) {
  if (why) fprintf(stderr, "netsim: %s\n", why);
  fprintf(stderr,
          "usage: netsim box|server [options]\n"
          "common:  --port N (0: any free port)  --connections N  --timeout SECONDS\n"
          "         --record FILE (every byte received, in order)\n"
          "box:     --hello-reply BYTE  --prefix B1,B2  --major BYTE  --minor BYTE\n"
          "         --extra B1,B2,B3  --text TEXT  --text-length N (N 'a', no zero byte)\n"
          "         --image-reply BYTE  --close-after-image  --image-out FILE\n"
          "         --close-at hello|identity[:K]|image[:K] (image: reset after the identity,\n"
          "           image:K after K bytes of the image)\n"
          "         --unlink FILE (removed when the identity request arrives)\n"
          "         --replace FILE=NEW (NEW renamed onto FILE then)\n"
          "server:  --software CH:MAJ.MIN=FILE  --software-version CH:MAJ.MIN=A.B.C\n"
          "         --size N  --slow BYTES_PER_SEC  --greeting-reply BYTE\n"
          "         --close-at greeting|query[:K]|size[:K]|software:K\n");
  exit(2);
}

long parse_number(const char* s, long lo, long hi, const char* what) {
  char* end;
  errno = 0;
  long long v = strtoll(s, &end, 0);
  if (errno || end == s || *end || v < lo || v > hi)
    usage((std::string("bad ") + what + ": " + s).c_str());
  return static_cast<long>(v);
}

void parse_bytes(const char* s, uint8_t* out, int count, const char* what) {
  std::string text = s;
  int i = 0;
  size_t at = 0;
  while (i < count) {
    size_t comma = text.find(',', at);
    std::string part = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    out[i++] = static_cast<uint8_t>(parse_number(part.c_str(), 0, 255, what));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  if (i != count) usage((std::string("bad ") + what + ": " + s).c_str());
}

// "CH:MAJ.MIN=rest" -> key and rest.
SoftKey parse_key(const char* arg, std::string* rest) {
  int ch, maj, min, used = 0;
  if (sscanf(arg, "%d:%d.%d=%n", &ch, &maj, &min, &used) != 3 || used == 0 || ch < 0 ||
      ch > 255 || maj < 0 || maj > 255 || min < 0 || min > 255)
    usage((std::string("bad software key: ") + arg).c_str());
  *rest = arg + used;
  return SoftKey(ch, maj, min);
}

void add_software_file(const char* arg) {
  std::string path;
  SoftKey key = parse_key(arg, &path);
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) usage(("cannot read " + path).c_str());
  Software& s = g_software[key];
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.bytes.append(buf, n);
  fclose(f);
  s.has_file = true;
}

void add_software_version(const char* arg) {
  std::string v;
  SoftKey key = parse_key(arg, &v);
  int a, b, c, used = 0;
  if (sscanf(v.c_str(), "%d.%d.%d%n", &a, &b, &c, &used) != 3 ||
      static_cast<size_t>(used) != v.size() || a < 0 || a > 255 || b < 0 || b > 255 || c < 0 ||
      c > 255)
    usage(("bad version: " + v).c_str());
  Software& s = g_software[key];
  s.has_version = true;
  s.version[0] = static_cast<uint8_t>(a);
  s.version[1] = static_cast<uint8_t>(b);
  s.version[2] = static_cast<uint8_t>(c);
}

void parse_close_at(const char* arg) {
  std::string s = arg;
  std::string name = s.substr(0, s.find(':'));
  if (s.find(':') != std::string::npos)
    g_opt.close_count = parse_number(s.c_str() + name.size() + 1, 0, 0x7fffffff, "count");
  static const struct {
    const char* name;
    CloseAt where;
  } kPlaces[] = {{"hello", CloseAt::kHello},       {"identity", CloseAt::kIdentity},
                 {"image", CloseAt::kImage},
                 {"greeting", CloseAt::kGreeting}, {"query", CloseAt::kQuery},
                 {"size", CloseAt::kSize},         {"software", CloseAt::kSoftware}};
  for (const auto& p : kPlaces)
    if (name == p.name) {
      g_opt.close_at = p.where;
      if (p.where == CloseAt::kSoftware && g_opt.close_count < 0)
        usage("--close-at software needs a byte count (software:K)");
      return;
    }
  usage(("bad --close-at: " + s).c_str());
}

void parse_options(int argc, char** argv) {
  if (argc < 2) usage(nullptr);
  std::string mode = argv[1];
  if (mode == "box")
    g_opt.mode = Mode::kBox;
  else if (mode == "server")
    g_opt.mode = Mode::kServer;
  else
    usage(("unknown mode " + mode).c_str());

  enum {
    kPort = 256, kConnections, kTimeout, kRecord, kCloseAt, kHelloReply, kPrefix, kMajor,
    kMinor, kExtra, kText, kTextLength, kImageReply, kCloseAfterImage, kImageOut, kSoftwareOpt,
    kSoftwareVersion, kSize, kSlow, kGreetingReply, kUnlink, kReplace, kHelp
  };
  static const option kLong[] = {
      {"port", required_argument, nullptr, kPort},
      {"connections", required_argument, nullptr, kConnections},
      {"timeout", required_argument, nullptr, kTimeout},
      {"record", required_argument, nullptr, kRecord},
      {"close-at", required_argument, nullptr, kCloseAt},
      {"hello-reply", required_argument, nullptr, kHelloReply},
      {"prefix", required_argument, nullptr, kPrefix},
      {"major", required_argument, nullptr, kMajor},
      {"minor", required_argument, nullptr, kMinor},
      {"extra", required_argument, nullptr, kExtra},
      {"text", required_argument, nullptr, kText},
      {"text-length", required_argument, nullptr, kTextLength},
      {"image-reply", required_argument, nullptr, kImageReply},
      {"close-after-image", no_argument, nullptr, kCloseAfterImage},
      {"image-out", required_argument, nullptr, kImageOut},
      {"software", required_argument, nullptr, kSoftwareOpt},
      {"software-version", required_argument, nullptr, kSoftwareVersion},
      {"size", required_argument, nullptr, kSize},
      {"slow", required_argument, nullptr, kSlow},
      {"greeting-reply", required_argument, nullptr, kGreetingReply},
      {"unlink", required_argument, nullptr, kUnlink},
      {"replace", required_argument, nullptr, kReplace},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0}};
  optind = 2;
  int c;
  while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    switch (c) {
      case kPort: g_opt.port = static_cast<int>(parse_number(optarg, 0, 65535, "port")); break;
      case kConnections:
        g_opt.connections = static_cast<int>(parse_number(optarg, 1, 100000, "connections"));
        break;
      case kTimeout:
        g_opt.timeout_s = static_cast<int>(parse_number(optarg, 1, 86400, "timeout"));
        break;
      case kRecord: g_opt.record_path = optarg; break;
      case kCloseAt: parse_close_at(optarg); break;
      case kHelloReply:
        g_opt.hello_reply = static_cast<int>(parse_number(optarg, 0, 255, "byte"));
        break;
      case kPrefix: parse_bytes(optarg, g_opt.prefix, 2, "prefix"); break;
      case kMajor: g_opt.major = static_cast<uint8_t>(parse_number(optarg, 0, 255, "major")); break;
      case kMinor: g_opt.minor = static_cast<uint8_t>(parse_number(optarg, 0, 255, "minor")); break;
      case kExtra: parse_bytes(optarg, g_opt.extra, 3, "extra"); break;
      case kText: g_opt.text = optarg; break;
      case kTextLength: g_opt.text_length = parse_number(optarg, 0, 100000000, "length"); break;
      case kImageReply:
        g_opt.image_reply = static_cast<int>(parse_number(optarg, 0, 255, "byte"));
        break;
      case kCloseAfterImage: g_opt.close_after_image = true; break;
      case kImageOut: g_opt.image_out = optarg; break;
      case kSoftwareOpt: add_software_file(optarg); break;
      case kSoftwareVersion: add_software_version(optarg); break;
      case kSize: g_opt.size_override = parse_number(optarg, 0, 0xffffffffL, "size"); break;
      case kSlow: g_opt.slow_bps = parse_number(optarg, 1, 1000000000, "rate"); break;
      case kGreetingReply:
        g_opt.greeting_reply = static_cast<int>(parse_number(optarg, 0, 255, "byte"));
        break;
      case kUnlink: g_opt.unlink_path = optarg; break;
      case kReplace: {
        std::string arg = optarg;
        size_t eq = arg.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == arg.size())
          usage("--replace needs FILE=NEW");
        g_opt.replace_path = arg.substr(0, eq);
        g_opt.replacement = arg.substr(eq + 1);
        break;
      }
      case kHelp: usage(nullptr);
      default: usage("bad option");
    }
  }
  if (optind != argc) usage("unexpected argument");
}

int listen_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (g_opt.close_at == CloseAt::kImage) {
    // A small fixed window: a large image cannot vanish into buffers before
    // the reset, so the peer's send is bound to fail.
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
  signal(SIGPIPE, SIG_IGN);
  parse_options(argc, argv);
  if (!g_opt.record_path.empty()) {
    g_record_fd = open(g_opt.record_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (g_record_fd < 0) usage(("cannot write " + g_opt.record_path).c_str());
  }
  int lfd = listen_loopback(g_opt.port);
  if (lfd < 0) {
    fprintf(stderr, "netsim: cannot listen on 127.0.0.1:%d: %s\n", g_opt.port, strerror(errno));
    return 2;
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  getsockname(lfd, reinterpret_cast<sockaddr*>(&bound), &len);
  printf("PORT %d\n", ntohs(bound.sin_port));
  fflush(stdout);

  int images_ok = 0, images_short = 0;
  for (int i = 0; i < g_opt.connections && !g_timed_out; ++i) {
    pollfd p = {lfd, POLLIN, 0};
    if (poll(&p, 1, g_opt.timeout_s * 1000) <= 0) {
      g_timed_out = true;
      break;
    }
    Conn c;
    c.fd = accept(lfd, nullptr, nullptr);
    if (c.fd < 0) continue;
    note("CONNECTION " + std::to_string(i + 1));
    if (g_opt.mode == Mode::kBox) {
      int r = serve_box(&c);
      images_ok += r == 1;
      images_short += r == -1;
    } else {
      serve_server(&c);
    }
    // After our own hang-up, keep reading until the peer closes too, so the
    // record holds everything it sent (a goodbye after a broken transfer).
    if (c.fd >= 0 && !g_timed_out) {
      c.closed = false;
      while (fill(&c)) c.pending.clear();
      if (!g_timed_out) note("CLOSED");
    }
    if (c.fd >= 0) close(c.fd);
  }
  close(lfd);
  if (g_record_fd >= 0) close(g_record_fd);

  if (g_timed_out) note("TIMEOUT");
  if (g_opt.mode == Mode::kBox)
    note(images_short ? "RESULT SHORT-IMAGE" : images_ok ? "RESULT OK" : "RESULT NO-IMAGE");
  else
    note(g_timed_out ? "RESULT TIMEOUT" : "RESULT OK");
  for (const std::string& line : g_summary) printf("%s\n", line.c_str());
  fflush(stdout);
  return g_timed_out ? 3 : 0;
}
