// The box simulator's command line: which box to play and which faults to
// stage. Read once into a Config; the rest of the simulator only reads it.
#pragma once
#include <cstdint>
#include <map>
#include <string>

enum class Mode { kSync, kPlain };
enum class EchoMode { kCorrect, kWrong, kNone, kMulti, kBlank };
enum class SpeedMode { kHonour, kIgnore, kAny };

// Points of the dialogue where a fault can be placed.
enum Point { kNoPoint = -1, kKeyword, kGrant, kEcho, kVersion, kDownload, kTransfer, kFinish };

// The name of `point` as --silent-at and the others take it.
const char* point_name(int point);

// The faults one box meets on its way; none by default.
struct Faults {
  int silent_at = kNoPoint;
  int error_at = kNoPoint;
  int hangup_at = kNoPoint;
  bool endless_version = false;
  int nak_block = 0;
  int can_block = 0;
  int bad_version_times = 0;
  int silent_version_times = 0;
};

// True when `f` stages any fault.
bool any_fault(const Faults& f);

struct Config {
  int boxes = 1;
  std::string expect_path;
  std::string expect_data;  // the --expect file's bytes, once loaded
  bool have_expect = false;
  bool expect_filler = false;
  int timeout_s = 60;
  std::string link;
  std::string keyword = "qkopacom";
  bool need_keyword = true;
  Mode mode = Mode::kSync;
  std::string grant = "granted\r\n";
  bool send_grant = true;
  EchoMode echo = EchoMode::kCorrect;
  unsigned f0_rate = 230400;
  SpeedMode speed = SpeedMode::kHonour;
  bool read_after_sync = false;
  std::string version = "17.0";
  std::string version_prefix = "\r\nBootloader Version: ";
  std::string second_version;
  bool has_second_version = false;
  int bad_version_times = 0;
  int silent_version_times = 0;
  std::string start_text = "Now start download\r\n";
  int nak_interval_ms = 3000;
  int first_nak_ms = 100;
  int finish_delay_ms = 200;
  std::string progress;
  std::string out_path;
  int nak_block = 0;
  int can_block = 0;
  bool ack_early = false;
  std::string garbage;
  Faults faults;                     // as the fault options give them
  int fault_every = 0;               // --fault-every: only every K-th box meets `faults`
  std::map<int, Faults> box_faults;  // --faults: box number to its own faults
  std::string error_line;
  bool verbose = false;
  // The paced line (--pace, --turnaround, --latency).
  bool pace = false;
  int64_t turnaround_ns = 1000000;
  int64_t latency_ns = 0;
};

// True when faults go to some boxes only (--fault-every, --faults): a box
// after a faulted one is a good box again.
bool faults_per_box(const Config& cfg);

// The faults box `number` (from 1) meets.
Faults faults_for_box(const Config& cfg, int number);

// Fills `cfg` from the command line. Help ends the process with 0 after
// the usage on standard output; a bad option or value with 2 after a line
// on standard error.
void parse_options(int argc, char** argv, Config* cfg);

// Loads the --expect file into cfg->expect_data. Returns false when it
// cannot be read; true when it was read or none was given.
bool load_expect(Config* cfg);
