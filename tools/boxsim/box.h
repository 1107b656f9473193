// One box as the dialogue plays it: where it stands and what it received.
// Apart from the dialogue so that the report can read a box's counts.
#pragma once
#include <cstddef>
#include <string>

enum class Stage {
  kWake,       // waiting for the keyword
  kSync,       // echoing digits, waiting for the start byte
  kSpeedByte,  // start byte seen, waiting for the speed byte
  kWaiting,    // identification failed on purpose, waiting for a retry
  kEndless,    // sending a version reply that never ends
  kDownload,   // start text sent, NAKing for the first block
  kReceive,    // XMODEM transfer running
  kFinish,     // EOT seen, "programming the flash"
  kDead,       // stopped answering for good
};

constexpr unsigned kHomeRate = 115200;
constexpr size_t kPayload = 128;  // data bytes of an XMODEM block

struct Box {
  int number = 0;
  Stage stage = Stage::kWake;
  int keywords = 0;
  int attempts = 0;               // identification attempts begun
  unsigned box_rate = kHomeRate;  // the rate the box's own UART runs at
  unsigned rate_seen = 0;         // line rate of the tool during identification
  bool echo_error_done = false;
  bool reached_download = false;
  // XMODEM receiver
  std::string data;
  std::string block;         // the block being assembled
  unsigned char expect = 1;  // block number expected next (wire value)
  int ordinal = 1;           // 1-based count of the block expected next
  int blocks = 0;
  int naks = 0;
  int duplicates = 0;
  bool nak_fault_done = false;
  bool can_fault_done = false;
  bool transfer_fault_done = false;
  bool ack_early_done = false;
  bool got_eot = false;
  std::string fail;       // first reason this box cannot pass
  std::string fault_met;  // the first fault it met, which may yet pass
};
