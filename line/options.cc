#include "line/options.h"

#include <getopt.h>

#include <cstdlib>

const char kLineUsage[] =
    "usage: update-line --stations FILE --db STORE --http ADDR:PORT\n"
    "                   [--shift-start HH:MM] [--min-yield PERCENT]\n"
    "FILE: one station a line, NAME URL; STORE: an SQLite file.\n";

std::string parse_line_options(int argc, char** argv, LineOptions* o) {
  enum { kStations = 1, kDb, kHttp, kShift, kYield, kHelp };
  static const option longs[] = {{"stations", required_argument, nullptr, kStations},
                                 {"db", required_argument, nullptr, kDb},
                                 {"http", required_argument, nullptr, kHttp},
                                 {"shift-start", required_argument, nullptr, kShift},
                                 {"min-yield", required_argument, nullptr, kYield},
                                 {"help", no_argument, nullptr, kHelp},
                                 {nullptr, 0, nullptr, 0}};
  *o = LineOptions();
  optind = 0;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":", longs, nullptr)) != -1) {
    std::string arg = optarg ? optarg : "";
    switch (c) {
      case kStations: o->stations = arg; break;
      case kDb: o->db = arg; break;
      case kHttp: o->http = arg; break;
      case kShift: {
        bool ok = arg.size() == 5 && arg[2] == ':';
        for (int i : {0, 1, 3, 4}) ok = ok && arg[i] >= '0' && arg[i] <= '9';
        int h = ok ? (arg[0] - '0') * 10 + arg[1] - '0' : 99;
        int m = ok ? (arg[3] - '0') * 10 + arg[4] - '0' : 99;
        if (h > 23 || m > 59) return "--shift-start takes HH:MM, not " + arg;
        o->shift_minutes = h * 60 + m;
        break;
      }
      case kYield: {
        std::string v = arg;
        if (!v.empty() && v.back() == '%') v.pop_back();
        char* end = nullptr;
        double p = v.empty() ? -1 : std::strtod(v.c_str(), &end);
        if (v.empty() || *end || !(p >= 0 && p <= 100))
          return "--min-yield takes a percentage from 0 to 100, not " + arg;
        o->min_yield = p / 100;
        break;
      }
      case kHelp: o->help = true; return "";
      case ':': return std::string("option ") + argv[optind - 1] + " needs an argument";
      default: return std::string("unknown option ") + argv[optind - 1];
    }
  }
  if (optind < argc) return std::string("unexpected argument ") + argv[optind];
  if (o->stations.empty()) return "no --stations FILE given";
  if (o->db.empty()) return "no --db STORE given";
  if (o->http.empty()) return "no --http ADDR:PORT given";
  return "";
}
