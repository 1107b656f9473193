// netsim's command line: which peer to play, the answers it gives and the
// fault it stages. Read once into a Config; the rest of netsim only reads it.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <tuple>

enum class Mode { kBox, kServer };

// Where a scripted fault closes the connection.
enum class CloseAt { kNone, kHello, kIdentity, kImage, kGreeting, kQuery, kSize, kSoftware };

// Software is found by channel and the low 8 bits of major and minor.
using SoftKey = std::tuple<int, int, int>;
struct Software {
  std::string bytes;
  bool has_file = false;
  bool has_version = false;
  uint8_t version[3] = {0, 0, 0};
};

struct Config {
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
  std::string unlink_path;                // removed when the identity request arrives
  std::string replace_path, replacement;  // replacement renamed onto replace_path then

  // server
  int greeting_reply = 0x01;
  long long size_override = -1;
  long slow_bps = 0;
  std::map<SoftKey, Software> software;  // --software and --software-version
};

// Fills `cfg` from the command line (the software files read in). Help, a
// bad option or value and an unreadable file end the process with 2 after
// the usage on standard error.
void parse_options(int argc, char** argv, Config* cfg);

// Ends the process with 2 after `why` (when given) and the usage on
// standard error.
[[noreturn]] void usage(const char* why);
