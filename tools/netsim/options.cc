#include "tools/netsim/options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

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

namespace {

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
  if (sscanf(arg, "%d:%d.%d=%n", &ch, &maj, &min, &used) != 3 || used == 0 || ch < 0 || ch > 255 ||
      maj < 0 || maj > 255 || min < 0 || min > 255)
    usage((std::string("bad software key: ") + arg).c_str());
  *rest = arg + used;
  return SoftKey(ch, maj, min);
}

void add_software_file(Config* cfg, const char* arg) {
  std::string path;
  SoftKey key = parse_key(arg, &path);
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) usage(("cannot read " + path).c_str());
  Software& s = cfg->software[key];
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.bytes.append(buf, n);
  fclose(f);
  s.has_file = true;
}

void add_software_version(Config* cfg, const char* arg) {
  std::string v;
  SoftKey key = parse_key(arg, &v);
  int a, b, c, used = 0;
  if (sscanf(v.c_str(), "%d.%d.%d%n", &a, &b, &c, &used) != 3 ||
      static_cast<size_t>(used) != v.size() || a < 0 || a > 255 || b < 0 || b > 255 || c < 0 ||
      c > 255)
    usage(("bad version: " + v).c_str());
  Software& s = cfg->software[key];
  s.has_version = true;
  s.version[0] = static_cast<uint8_t>(a);
  s.version[1] = static_cast<uint8_t>(b);
  s.version[2] = static_cast<uint8_t>(c);
}

void parse_close_at(Config* cfg, const char* arg) {
  std::string s = arg;
  std::string name = s.substr(0, s.find(':'));
  if (s.find(':') != std::string::npos)
    cfg->close_count = parse_number(s.c_str() + name.size() + 1, 0, 0x7fffffff, "count");
  static const struct {
    const char* name;
    CloseAt where;
  } kPlaces[] = {{"hello", CloseAt::kHello},      {"identity", CloseAt::kIdentity},
                 {"image", CloseAt::kImage},      {"greeting", CloseAt::kGreeting},
                 {"query", CloseAt::kQuery},      {"size", CloseAt::kSize},
                 {"software", CloseAt::kSoftware}};
  for (const auto& p : kPlaces)
    if (name == p.name) {
      cfg->close_at = p.where;
      if (p.where == CloseAt::kSoftware && cfg->close_count < 0)
        usage("--close-at software needs a byte count (software:K)");
      return;
    }
  usage(("bad --close-at: " + s).c_str());
}

}  // namespace

void parse_options(int argc, char** argv, Config* cfg) {
  if (argc < 2) usage(nullptr);
  std::string mode = argv[1];
  if (mode == "box") cfg->mode = Mode::kBox;
  else if (mode == "server") cfg->mode = Mode::kServer;
  else usage(("unknown mode " + mode).c_str());

  enum {
    kPort = 256,
    kConnections,
    kTimeout,
    kRecord,
    kCloseAt,
    kHelloReply,
    kPrefix,
    kMajor,
    kMinor,
    kExtra,
    kText,
    kTextLength,
    kImageReply,
    kCloseAfterImage,
    kImageOut,
    kSoftwareOpt,
    kSoftwareVersion,
    kSize,
    kSlow,
    kGreetingReply,
    kUnlink,
    kReplace,
    kHelp
  };
  static const option kLong[] = {{"port", required_argument, nullptr, kPort},
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
      case kPort: cfg->port = static_cast<int>(parse_number(optarg, 0, 65535, "port")); break;
      case kConnections:
        cfg->connections = static_cast<int>(parse_number(optarg, 1, 100000, "connections"));
        break;
      case kTimeout:
        cfg->timeout_s = static_cast<int>(parse_number(optarg, 1, 86400, "timeout"));
        break;
      case kRecord: cfg->record_path = optarg; break;
      case kCloseAt: parse_close_at(cfg, optarg); break;
      case kHelloReply:
        cfg->hello_reply = static_cast<int>(parse_number(optarg, 0, 255, "byte"));
        break;
      case kPrefix: parse_bytes(optarg, cfg->prefix, 2, "prefix"); break;
      case kMajor: cfg->major = static_cast<uint8_t>(parse_number(optarg, 0, 255, "major")); break;
      case kMinor: cfg->minor = static_cast<uint8_t>(parse_number(optarg, 0, 255, "minor")); break;
      case kExtra: parse_bytes(optarg, cfg->extra, 3, "extra"); break;
      case kText: cfg->text = optarg; break;
      case kTextLength: cfg->text_length = parse_number(optarg, 0, 100000000, "length"); break;
      case kImageReply:
        cfg->image_reply = static_cast<int>(parse_number(optarg, 0, 255, "byte"));
        break;
      case kCloseAfterImage: cfg->close_after_image = true; break;
      case kImageOut: cfg->image_out = optarg; break;
      case kSoftwareOpt: add_software_file(cfg, optarg); break;
      case kSoftwareVersion: add_software_version(cfg, optarg); break;
      case kSize: cfg->size_override = parse_number(optarg, 0, 0xffffffffL, "size"); break;
      case kSlow: cfg->slow_bps = parse_number(optarg, 1, 1000000000, "rate"); break;
      case kGreetingReply:
        cfg->greeting_reply = static_cast<int>(parse_number(optarg, 0, 255, "byte"));
        break;
      case kUnlink: cfg->unlink_path = optarg; break;
      case kReplace: {
        std::string arg = optarg;
        size_t eq = arg.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == arg.size())
          usage("--replace needs FILE=NEW");
        cfg->replace_path = arg.substr(0, eq);
        cfg->replacement = arg.substr(eq + 1);
        break;
      }
      case kHelp: usage(nullptr);
      default: usage("bad option");
    }
  }
  if (optind != argc) usage("unexpected argument");
}
