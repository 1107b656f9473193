#include "station/options.h"

#include <cstdlib>
#include <cstring>

#include "core/tool_options.h"

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
    "  --http-allow-host NAME  a Host name the web view answers (repeat it)\n"
    "  --operator NAME      the operator, in every run's record\n"
    "  --units FILE         unit serials, one a line, each used once (its state\n"
    "                       in FILE.used); a slot starts only with a serial\n"
    "  --help               this text\n"
    "Every other option goes to each run of update unchanged, except those that\n"
    "set the port, the loop or --events: the station's own.\n";

namespace {

// A count as a whole positive decimal number, or -1.
long count(const std::string& text) {
  if (text.empty() || text.size() > 9) return -1;
  for (char c : text)
    if (c < '0' || c > '9') return -1;
  long v = std::atol(text.c_str());
  return v > 0 ? v : -1;
}

// A word for the runs, read against the tool's own table, with the word
// after it when that is its argument. Returns "" or why it is refused.
std::string pass_word(int argc, char** argv, int* i, StationOptions* o) {
  std::string a = argv[*i];
  ToolWord w = read_tool_word(a);
  if (tool_word_sets(w, 'p')) return a + ": the port is the station's: give each slot with -p PORT";
  if (tool_word_sets(w, 'l')) return a + ": no loop here: every box is a run of its own";
  if (tool_word_sets(w, kEventsOption))
    return a + ": --events is the station's own: each run reports to it";
  o->pass.push_back(a);
  if (w.kind == ToolWord::kArgument) {
    o->file = a;
    return "";
  }
  if (tool_word_sets(w, 'i') || tool_word_sets(w, 'j') || tool_word_sets(w, 'N'))
    o->mode = "network";
  if (tool_word_sets(w, 'C') || tool_word_sets(w, 'I')) {
    o->server = true;
    o->mode = "server-download";
  }
  std::string arg = w.inline_argument;
  if (w.argument_follows && *i + 1 < argc) {
    arg = argv[++*i];
    o->pass.push_back(arg);
  }
  if (w.journal) o->journal = arg;
  if (w.trust) o->trust = arg;
  if (w.signature) o->signature = arg;
  return "";
}

}  // namespace

std::string check_unit_text(const std::string& text) {
  if (text.empty()) return "is empty";
  if (text.size() > 64) return "is longer than 64 characters";
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return "holds a character that is not printable";
  return "";
}

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
    auto is = [&](const std::string& name) { return a == name || a.rfind(name + "=", 0) == 0; };
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
    } else if (is("--operator")) {
      if (!value("--operator", &v)) return "--operator needs a name";
      std::string why = check_unit_text(v);
      if (!why.empty()) {
        o->refused = true;
        return "--operator: the name " + why;
      }
      o->operator_name = v;
    } else if (is("--units")) {
      if (!value("--units", &v) || v.empty()) return "--units needs a file";
      o->units_file = v;
    } else if (a == "--scan") {
      o->scan = true;
    } else if (is("--http-token-file")) {
      if (!value("--http-token-file", &v) || v.empty()) return "--http-token-file needs a file";
      o->token_file = v;
    } else if (is("--http-allow-host")) {
      if (!value("--http-allow-host", &v) || v.empty()) return "--http-allow-host needs a name";
      o->http_allow_hosts.push_back(v);
    } else if (is("--http")) {
      if (!value("--http", &v) || v.empty()) return "--http needs ADDR:PORT";
      o->http = v;
    } else {
      std::string why = pass_word(argc, argv, &i, o);
      if (!why.empty()) {
        o->refused = true;
        return why;
      }
    }
  }
  if (o->help) return "";
  if (o->scan && !o->units_file.empty()) {
    // Two sources would race for the same slot's next box.
    o->refused = true;
    return "--scan and --units both give the serials: choose one";
  }
  if (o->ports.empty()) return "no slot: give at least one -p PORT";
  if (!o->token_file.empty() && o->http.empty()) return "--http-token-file needs --http";
  if (!o->http_allow_hosts.empty() && o->http.empty()) return "--http-allow-host needs --http";
  return "";
}
