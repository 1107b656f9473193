// The run settings: every option and derived flag of one run. Owned by the
// driver; the other subsystems read and change the fields they name.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kRetryBudget = 15;
constexpr uint32_t kOpeningBaud = 115200;
constexpr uint8_t kServerPseudoFormat = 20;
constexpr uint32_t kServerPseudoVersion = 1;
constexpr int kDefaultTcpPort = 2376;
constexpr int kMaxWakeKeyword = 16;
constexpr int kMaxPath = 4096;

struct RunSettings {
  char program_name[256];
  uint16_t revision_numbers[3];
  int com_port;
  const char* port_path;  // a port given by device name; nullptr = com_port
  uint32_t target_baud;
  uint8_t baud_code;
  bool fast;
  bool force_fast;
  char wake_keyword[kMaxWakeKeyword];  // NUL-terminated
  bool send_keyword;
  bool grant_optional;
  bool sync_mode;
  bool await_grant;
  bool urloader;
  bool silent_sync;
  bool read_after_sync;
  bool two_stop_bits;
  bool patch;
  bool revision;
  bool loop;
  bool beep;
  int retries_left;
  bool network;
  bool server;
  int server_command;  // 1 query, 2 download
  int channel;         // 0 alpha, 1 beta, 2 released, 3 development
  const char* host;    // none = nullptr
  int tcp_port;        // low 16 bits are the port
  bool use_port_80;
  char pad_path[kMaxPath];
  uint32_t pad_size;
  uint8_t format_byte;
  uint32_t version_word;
  bool fast_capable;
  bool image_from_server;
  const char* journal_path;    // result journal; nullptr = none
  const char* events_path;     // event stream (JSON Lines); nullptr = none
  const char* station;         // the records' station name; nullptr = the host name
  const char* trust_path;      // --trust: only signed images go out; nullptr = none
  const char* signature_path;  // --signature; nullptr = the PAD file's name + ".sig"
  const char* unit;            // --unit: the box's serial for the records; nullptr = none
  const char* operator_name;   // --operator: who runs the line; nullptr = none
};

extern RunSettings g_settings;

// Sets every field to its default.
void settings_reset(RunSettings* s);

// The port as the messages show it: the device name it was given by, else
// the COM number written into `buf`.
const char* port_label(const RunSettings& s, char* buf, size_t size);
