// The station's command line: the slots (-p), the station's own long
// options, and everything else handed to every run of the tool unchanged.
#pragma once
#include <string>
#include <vector>

struct StationOptions {
  std::vector<std::string> ports;             // one slot each, as given
  long boxes = 0;                             // attempts per slot; 0 = no limit
  int max_failures = 3;                       // failed attempts in a row that park a slot
  std::string update_path;                    // "" = beside the station, then PATH
  std::vector<std::string> pass;              // the tool's options and the file, in order
  std::string file;                           // the PAD file argument, for the header
  std::string journal;                        // the runs' --journal, "" when none given
  std::string station;                        // --station NAME for every run, "" = none
  std::string trust;                          // the runs' --trust, "" when none given
  std::string signature;                      // the runs' --signature, "" = FILE.sig
  bool server = false;                        // the runs ask an update server (no file)
  const char* mode = "serial";                // the journal's mode of the runs
  std::string http;                           // --http ADDR:PORT, "" = no web view
  std::string token_file;                     // --http-token-file: control allowed
  std::vector<std::string> http_allow_hosts;  // --http-allow-host NAME...
  std::string operator_name;                  // --operator NAME for every run, "" = none
  std::string units_file;                     // --units FILE: one serial a line, each used once
  bool scan = false;                          // --scan: serials typed on standard input
  bool help = false;
  bool refused = false;  // a word for the runs the station cannot hand on
};

// Reads argv[1..argc-1] into `o`. Returns "" or the reason the command line
// cannot be used; o->refused tells a word for the runs that would take the
// station's own part (the port, the loop, the event stream) from it.
std::string parse_station_options(int argc, char** argv, StationOptions* o);

// "" when `text` may name a unit or an operator (printable, 1 to 64
// bytes), else why not.
std::string check_unit_text(const std::string& text);

extern const char kStationUsage[];
