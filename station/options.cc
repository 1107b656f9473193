#include "station/options.h"

#include <cstdlib>
#include <cstring>

const char kStationUsage[] =
    "usage: update-station -p PORT [-p PORT]... [station options] [update options] FILE\n"
    "Updates boxes on many ports at once, one run of update per box.\n"
    "  -p, --port PORT      one slot: a COM number or a device path (repeat it)\n"
    "  --boxes N            each slot stops after N attempts (no limit)\n"
    "  --max-failures K     park a slot after K failed attempts in a row (3)\n"
    "  --update PATH        the update program (the one beside this, then PATH)\n"
    "  --station NAME       the station's name in records and metrics (host name)\n"
    "  --http ADDR:PORT     serve the web view, status, events and metrics there\n"
    "  --http-token-file F  allow control with the bearer token on F's first line\n"
    "  --help               this text\n"
    "Every other option goes to each run of update unchanged.\n";

namespace {

// The tool's options that take an argument in the next word, so that the
// word is not taken for the file.
bool takes_argument(const std::string& a) {
  if (a.size() == 2 && a[0] == '-' && std::strchr("CiIjsU", a[1])) return true;
  static const char* const kLong[] = {"--ipaddr", "--internet", "--ipport", "--speed",
                                      "--USB",    "--journal"};
  for (const char* l : kLong)
    if (a == l) return true;
  return false;
}

// A count as a whole positive decimal number, or -1.
long count(const std::string& text) {
  if (text.empty() || text.size() > 9) return -1;
  for (char c : text)
    if (c < '0' || c > '9') return -1;
  long v = std::atol(text.c_str());
  return v > 0 ? v : -1;
}

}  // namespace

std::string parse_station_options(int argc, char** argv, StationOptions* o) {
  bool options_done = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](const std::string& name, std::string* out) -> bool {
      // --name VALUE or --name=VALUE
      if (a == name) {
        if (i + 1 >= argc) return false;
        *out = argv[++i];
        return true;
      }
      *out = a.substr(name.size() + 1);
      return true;
    };
    auto is = [&](const std::string& name) {
      return a == name || a.rfind(name + "=", 0) == 0;
    };
    std::string v;
    if (options_done) {
      o->pass.push_back(a);
      o->file = a;
      continue;
    }
    if (a == "--") {
      options_done = true;
      o->pass.push_back(a);
    } else if (a == "--help") {
      o->help = true;
    } else if (a == "-p" || is("--port")) {
      if (a == "-p") {
        if (i + 1 >= argc) return "-p needs a port";
        v = argv[++i];
      } else if (!value("--port", &v)) {
        return "--port needs a port";
      }
      if (v.empty()) return "-p needs a port";
      o->ports.push_back(v);
    } else if (a.rfind("-p", 0) == 0 && a.size() > 2 && a[1] == 'p') {
      o->ports.push_back(a.substr(2));
    } else if (is("--boxes")) {
      if (!value("--boxes", &v) || (o->boxes = count(v)) < 0)
        return "--boxes needs a number of boxes above 0";
    } else if (is("--max-failures")) {
      long k = -1;
      if (!value("--max-failures", &v) || (k = count(v)) < 0)
        return "--max-failures needs a number above 0";
      o->max_failures = (int)k;
    } else if (is("--update")) {
      if (!value("--update", &v) || v.empty()) return "--update needs the program's path";
      o->update_path = v;
    } else if (is("--station")) {
      if (!value("--station", &v) || v.empty()) return "--station needs a name";
      o->station = v;
      o->pass.insert(o->pass.end(), {"--station", v});
    } else if (is("--http-token-file")) {
      if (!value("--http-token-file", &v) || v.empty()) return "--http-token-file needs a file";
      o->token_file = v;
    } else if (is("--http")) {
      if (!value("--http", &v) || v.empty()) return "--http needs ADDR:PORT";
      o->http = v;
    } else if (a == "-l" || is("--loop")) {
      return "-l has no place here: every box is a run of its own";
    } else if (is("--events")) {
      return "--events is the station's own: each run reports to it";
    } else if (takes_argument(a)) {
      o->pass.push_back(a);
      if (i + 1 < argc) o->pass.push_back(argv[++i]);
    } else {
      o->pass.push_back(a);
      if (a.empty() || a[0] != '-') o->file = a;
    }
  }
  if (o->help) return "";
  if (o->ports.empty()) return "no slot: give at least one -p PORT";
  if (!o->token_file.empty() && o->http.empty()) return "--http-token-file needs --http";
  return "";
}
