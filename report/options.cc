#include "report/options.h"

#include <cstring>

const char kUsage[] =
    "usage: update-report [--since TIME] [--until TIME] [--station NAME]... [--json]\n"
    "                     [--html FILE] [--db STORE] [JOURNAL...]\n"
    "  JOURNAL  a journal file, a folder (its *.jsonl files) or - (standard input);\n"
    "           none with --db: report from the store alone\n"
    "  STORE    an SQLite file or a postgresql:// URL\n"
    "  TIME     2026-12-08T03:24:21.147Z as the journal writes it, or 2026-12-08;\n"
    "           --since and --until are inclusive\n";

bool options_parse(int argc, char** argv, Options* o, bool* help, std::string* err) {
  *help = false;
  bool only_files = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (only_files || a == "-" || a.rfind("--", 0) != 0) {
      if (!only_files && a.size() > 1 && a[0] == '-' && a != "-") {
        *err = "unknown option " + a;
        return false;
      }
      o->journals.push_back(a);
      continue;
    }
    if (a == "--") {
      only_files = true;
      continue;
    }
    std::string value;
    bool has_value = false;
    size_t eq = a.find('=');
    if (eq != std::string::npos) {
      value = a.substr(eq + 1);
      a.resize(eq);
      has_value = true;
    }
    auto take = [&](std::string* out) {
      if (!has_value) {
        if (i + 1 >= argc) {
          *err = a + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      if (value.empty()) {
        *err = a + " needs a value";
        return false;
      }
      *out = value;
      return true;
    };
    std::string v;
    if (a == "--help") {
      *help = true;
      return true;
    } else if (a == "--json" && !has_value) {
      o->json = true;
    } else if (a == "--since" || a == "--until") {
      if (!take(&v)) return false;
      if (!filter_parse_time(v, a == "--since" ? &o->filter.since : &o->filter.until)) {
        *err =
            a + " takes a time like 2026-12-08T03:24:21.147Z or a date like 2026-12-08, not " + v;
        return false;
      }
    } else if (a == "--station") {
      if (!take(&v)) return false;
      o->filter.stations.push_back(v);
    } else if (a == "--html") {
      if (!take(&o->html)) return false;
    } else if (a == "--db") {
      if (!take(&o->db)) return false;
    } else {
      *err = "unknown option " + a;
      return false;
    }
  }
  if (o->journals.empty() && o->db.empty()) {
    *err = "no journal given";
    return false;
  }
  return true;
}
