#include "serial/xmodem.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/exit.h"
#include "core/messages.h"
#include "core/phase.h"
#include "core/report.h"
#include "core/settings.h"
#include "image/image_buffer.h"
#include "image/pad.h"
#include "platform/error.h"
#include "serial/port.h"

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint32_t kBlockData = 128;
constexpr uint32_t kBlockSize = kBlockData + 4;
constexpr uint32_t kEmptyReadsPerNotice = 10000000;
constexpr uint32_t kNaksPerNotice = 1000;

// The block on the wire; one for the whole transfer, nothing allocated.
uint8_t g_block[kBlockSize];

void prepare_block(uint8_t number, uint32_t offset) {
  g_block[0] = SOH;
  g_block[1] = number;
  g_block[2] = (uint8_t)(0xFF - number);
  // The last block takes the bytes after the image as the buffer holds them.
  std::memcpy(g_block + 3, g_image_buffer + offset, kBlockData);
  uint8_t sum = 0;
  for (uint32_t i = 0; i < kBlockData; i++) sum = (uint8_t)(sum + g_block[3 + i]);
  g_block[3 + kBlockData] = sum;
}

// Writes all `n` bytes. Any failed call ends the transfer, a write the
// driver's time-out cut short included: the line has stalled.
bool write_all(plat_port port, const uint8_t* p, size_t n) {
  while (n > 0) {
    size_t written = 0;
    if (!plat_serial_write(port, p, n, &written)) {
      // A write a stop request cut short is the stop, not a stalled line.
      exit_if_stopped();
      report_failure_text(stderr, kNoCode, "Error during write to COM",
                          "Error during write to COM");
      return false;
    }
    p += written;
    n -= written;
  }
  return true;
}

// The transfer of send_image; `image` false for the filler block, which is
// no part of the image and never counts as its progress.
// A port given by its device path is named by it; one given by number
// keeps the line as it always read.
void report_read_failure() {
  uint32_t err = plat_last_driver_error();
  std::string line = "Error during read from ";
  line += g_settings.port_path ? g_settings.port_path : "COM1";
  report_failure_text(stderr, kNoCode, line.c_str(), line.c_str());
  report_detail(error_value_text(err));
}

int send_blocks(plat_port port, uint32_t length, uint32_t* acked, bool image) {
  *acked = 0;
  // Every block reads 128 bytes from the buffer; the buffer size is a
  // multiple of 128, so any length up to it stays inside.
  if (length == 0 || length > kImageBufferSize) {
    report_failure(stderr, kNoCode, {102}, "\n");
    return 1;
  }
  const uint32_t blocks = (length + kBlockData - 1) / kBlockData;
  const uint64_t total = (uint64_t)blocks * kBlockSize;
  uint64_t sent = 0;
  uint32_t percent = 0;
  uint32_t naks = 0;
  uint32_t empty_reads = 0;
  uint32_t offset = 0;
  uint8_t number = 1;
  int result = 1;
  prepare_block(number, offset);
  if (image) phase_progress(0, length);
  for (;;) {
    // The receive wait below has no limit: look for a stop request each round.
    exit_if_stopped();
    if (plat_serial_wait_rx(port, 0) < 0) {
      report_read_failure();
      break;
    }
    uint8_t b;
    long got = plat_serial_read(port, &b, 1);
    if (got < 0) {
      report_read_failure();
      break;
    }
    if (got == 0) {
      if (++empty_reads == kEmptyReadsPerNotice) {
        std::printf("%s (%i)\n", message(90), (int)empty_reads);
        empty_reads = 0;
      }
      continue;
    }
    if (b == NAK) {
      if (++naks % kNaksPerNotice == 0) std::printf("%s (NAK %i)\n", message(90), (int)naks);
      if (!write_all(port, g_block, kBlockSize)) break;
    } else if (b == CAN) {
      if (!write_all(port, g_block, kBlockSize)) break;
    } else if (b == ACK) {
      // An ACK always accepts the block sent last, even before the first.
      number++;
      sent += kBlockSize;
      offset += kBlockData;
      *acked = offset < length ? offset : length;
      if (image) phase_progress(*acked, length);
      uint32_t now_percent = (uint32_t)(sent * 100 / total);
      if (now_percent > percent) {
        percent = now_percent;
        std::printf("%3d %% transmitted\r", (int)percent);
      }
      if (offset < length) {
        prepare_block(number, offset);
        if (!write_all(port, g_block, kBlockSize)) break;
      } else {
        const uint8_t eot = EOT;
        result = write_all(port, &eot, 1) ? 0 : 1;
        break;
      }
    }
  }
  std::printf("%30s\r", "");
  return result;
}

}  // namespace

int send_image(plat_port port, uint32_t length, uint32_t* acked) {
  return send_blocks(port, length, acked, true);
}

int download(plat_port port, const char* pad_path, uint32_t length, uint32_t version_word,
             bool patch, bool prefilled, uint32_t* acked) {
  *acked = 0;
  if (!wait_for_text(port, "Now start download", 0)) {
    report_wait_failure();
    port_close(port);
    return 1;
  }
  int loaded = patch ? pad_load_patched(pad_path, length, version_word, prefilled)
                     : pad_load(pad_path, length, prefilled);
  if (loaded != 0) return 1;
  phase_set(Phase::kDownload);
  if (send_image(port, length, acked) != 0) return 1;
  std::printf("%s\n", message(46));
  phase_set(Phase::kProgram);
  std::printf("%s", message(47));
  if (!wait_for_text(port, "finished!", 0)) {
    report_wait_failure();
    port_close(port);
    return 1;
  }
  std::printf("%s\n", message(46));
  return 0;
}

int send_filler_block(plat_port port) {
  if (!wait_for_text(port, "Now start download", 0)) {
    report_wait_failure();
    port_close(port);
    return 1;
  }
  g_image_buffer[0] = 0x00;
  g_image_buffer[1] = 0x00;
  g_image_buffer[2] = 0x01;
  g_image_buffer[3] = 0x91;
  std::memset(g_image_buffer + 4, 0x01, kFillerLength - 4);
  uint32_t acked;
  return send_blocks(port, kFillerLength, &acked, false);
}
