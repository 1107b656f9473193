// update-server: serves software to the tool's update server runs, from a
// catalogue on disk; also checks a catalogue and tells what one box gets.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/std_streams.h"
#include "server/catalogue.h"
#include "server/control.h"
#include "server/request_log.h"
#include "server/server.h"

namespace {

const char kDefaultCatalogue[] = "/var/lib/update-server";

const char kUsage[] =
    "usage: update-server [--catalogue DIR] [--listen ADDR:PORT]... [--log FILE]\n"
    "                     [--http ADDR:PORT] [--http-allow-host NAME]...\n"
    "                     [--max-connections N] [--idle-timeout T] [--send-timeout T]\n"
    "                     [--trust TRUST]\n"
    "       update-server check [--trust TRUST] DIR\n"
    "       update-server resolve DIR --channel NAME --bootloader MAJOR.MINOR\n"
    "T: seconds, or a number with s, m or h; 0 is no limit.\n";

[[noreturn]] void usage_error(const char* what) {
  if (what) std::fprintf(stderr, "update-server: %s\n", what);
  std::fputs(kUsage, stderr);
  std::exit(2);
}

bool parse_count(const char* text, unsigned long limit, unsigned long* out) {
  char* end = nullptr;
  if (text[0] < '0' || text[0] > '9') return false;
  unsigned long v = std::strtoul(text, &end, 10);
  if (*end != '\0' || v > limit) return false;
  *out = v;
  return true;
}

// "90", "90s", "30m", "12h" in seconds.
bool parse_duration(const char* text, uint32_t* out) {
  std::string t = text;
  unsigned long scale = 1;
  if (!t.empty() && (t.back() == 's' || t.back() == 'm' || t.back() == 'h')) {
    scale = t.back() == 'h' ? 3600 : t.back() == 'm' ? 60 : 1;
    t.pop_back();
  }
  unsigned long v = 0;
  if (t.empty() || !parse_count(t.c_str(), 0xFFFFFFFFul / scale, &v)) return false;
  *out = static_cast<uint32_t>(v * scale);
  return true;
}

std::string describe(const Software& sw) {
  char buf[64];
  std::snprintf(buf, sizeof buf, " %u bytes, checksum %08lx", sw.size,
                static_cast<unsigned long>(sw.checksum));
  return version_text(sw.version) + " " + sw.path + buf;
}

// Prints the left-out files and a refusal on standard error. Returns true
// when there was anything to print.
bool report_problems(const Catalogue& c) {
  for (const std::string& why : c.left_out)
    std::fprintf(stderr, "update-server: left out %s\n", shown(why).c_str());
  if (!c.refused.empty()) std::fprintf(stderr, "update-server: %s\n", shown(c.refused).c_str());
  return !c.left_out.empty() || !c.refused.empty();
}

int check(int argc, char** argv) {
  Trust trust;
  bool trusted = argc == 5 && std::strcmp(argv[2], "--trust") == 0;
  if (argc != 3 && !trusted) usage_error("check needs the catalogue's directory");
  if (trusted) {
    std::string why;
    if (!trust_load(argv[3], &trust, &why)) {
      std::fprintf(stderr, "update-server: trust file %s\n", shown(why).c_str());
      return 1;
    }
  }
  auto c = catalogue_load(argv[argc - 1], trusted ? &trust : nullptr);
  bool problems = report_problems(*c);
  if (c->refused.empty()) {
    for (const auto& [key, entry] : c->entries) {
      std::printf("%s %s: %s\n", channel_name(static_cast<int>(key >> 16)), entry.folder.c_str(),
                  entry.software ? describe(*entry.software).c_str() : "nothing");
    }
  }
  return problems ? 1 : 0;
}

int resolve(int argc, char** argv) {
  if (argc < 3 || argv[2][0] == '-') usage_error("resolve needs the catalogue's directory");
  const char* dir = argv[2];
  int channel = -1;
  unsigned boot[2];
  bool have_boot = false;
  static const option kOptions[] = {{"channel", required_argument, nullptr, 'c'},
                                    {"bootloader", required_argument, nullptr, 'b'},
                                    {nullptr, 0, nullptr, 0}};
  optind = 3;
  int opt;
  while ((opt = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    if (opt == 'c') {
      channel = channel_of(optarg);
      if (channel < 0) usage_error("--channel: alpha, beta, released or development");
    } else if (opt == 'b') {
      have_boot = parse_dotted(optarg, 2, 65535, "", boot);
      if (!have_boot) usage_error("--bootloader: MAJOR.MINOR, decimal");
    } else {
      usage_error(nullptr);
    }
  }
  if (optind != argc || channel < 0 || !have_boot)
    usage_error("resolve needs --channel and --bootloader");
  auto c = catalogue_load(dir);
  if (!c->refused.empty()) {
    std::fprintf(stderr, "update-server: %s\n", shown(c->refused).c_str());
    return 1;
  }
  // The box sends the low 8 bits only; so does this.
  const Software* sw = catalogue_find(*c, channel, boot[0] & 0xFF, boot[1] & 0xFF);
  if (sw == nullptr) {
    std::printf("%s %u.%u: nothing (the box is told 0.0.0, size 0)\n", channel_name(channel),
                boot[0], boot[1]);
    return 1;
  }
  std::printf("file: %s\nversion: %s\nsize: %u\nchecksum: %08lx\n",
              shown(c->dir + "/" + sw->path).c_str(), version_text(sw->version).c_str(), sw->size,
              static_cast<unsigned long>(sw->checksum));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  plat_std_streams_guard();
  if (argc >= 2 && std::strcmp(argv[1], "check") == 0) return check(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "resolve") == 0) return resolve(argc, argv);

  ServerConfig config;
  config.catalogue = kDefaultCatalogue;
  const char* log = nullptr;
  enum { kCatalogue = 256, kListen, kMax, kIdle, kSend, kLog, kHttp, kAllowHost, kHelp, kTrust };
  static const option kOptions[] = {{"catalogue", required_argument, nullptr, kCatalogue},
                                    {"listen", required_argument, nullptr, kListen},
                                    {"max-connections", required_argument, nullptr, kMax},
                                    {"idle-timeout", required_argument, nullptr, kIdle},
                                    {"send-timeout", required_argument, nullptr, kSend},
                                    {"log", required_argument, nullptr, kLog},
                                    {"http", required_argument, nullptr, kHttp},
                                    {"http-allow-host", required_argument, nullptr, kAllowHost},
                                    {"help", no_argument, nullptr, kHelp},
                                    {"trust", required_argument, nullptr, kTrust},
                                    {nullptr, 0, nullptr, 0}};
  int opt;
  while ((opt = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    unsigned long n = 0;
    switch (opt) {
      case kCatalogue: config.catalogue = optarg; break;
      case kListen: config.listen.push_back(optarg); break;
      case kMax:
        if (!parse_count(optarg, 1000000, &n) || n == 0)
          usage_error("--max-connections: a number from 1 to 1000000");
        config.max_connections = static_cast<uint32_t>(n);
        break;
      case kIdle:
        if (!parse_duration(optarg, &config.idle_timeout_s)) usage_error("--idle-timeout: T");
        break;
      case kSend:
        if (!parse_duration(optarg, &config.send_timeout_s)) usage_error("--send-timeout: T");
        break;
      case kLog: log = optarg; break;
      case kHttp: config.http = optarg; break;
      case kAllowHost:
        if (optarg[0] == '\0') usage_error("--http-allow-host needs a name");
        config.http_allow_hosts.push_back(optarg);
        break;
      case kTrust: config.trust = optarg; break;
      case kHelp: std::fputs(kUsage, stdout); return 0;
      default: usage_error(nullptr);
    }
  }
  if (optind != argc) usage_error("unexpected argument");
  if (!config.http_allow_hosts.empty() && config.http.empty())
    usage_error("--http-allow-host needs --http");
  RequestLog* request_log = log_open(log);
  if (request_log == nullptr) return 1;
  int code = server_run(config, request_log);
  log_close(request_log);
  return code;
}
