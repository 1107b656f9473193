// The XMODEM sender against any byte stream from the box. The sender has no
// time limits and reads the box's bytes one by one, so the whole stream
// given at once stands for every pace. Invariants: each byte the sender
// acts on (ACK, NAK, CAN) gets exactly one answer on the wire, everything
// else none; every block is well formed and carries the image bytes of its
// place; blocks go out in order, advancing only on ACK; EOT goes out once,
// last; success only with EOT out and every block sent (block 1 may be
// skipped only by an ACK before anything was sent); a length the buffer
// cannot hold sends nothing.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "image/image_buffer.h"
#include "serial/xmodem.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr uint8_t kSoh = 0x01, kEot = 0x04, kAck = 0x06, kNak = 0x15, kCan = 0x18;
constexpr size_t kBlock = 132;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_stdout();
  for (size_t i = 0; i < 8192; ++i) g_image_buffer[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  fake_clock_set(1000);
  fake_serial_reset();
  uint32_t length = 1 + ((data[0] << 8 | data[1]) % 4096);  // up to 32 blocks
  if (data[0] == 0xFF && data[1] == 0xFF) length = kImageBufferSize + 1;
  std::string box(reinterpret_cast<const char*>(data + 2), size - 2);
  fake_serial_feed(box);
  // When the box has nothing more to say, the line hangs up: the sender
  // must end then, not wait for good.
  g_fake_serial.hang_up_when_drained = true;

  uint32_t acked = 0;
  int r = send_image(1, length, &acked);
  FUZZ_CHECK(acked <= length);

  const std::string& w = g_fake_serial.written;
  if (length > kImageBufferSize) {
    FUZZ_CHECK(r == 1 && w.empty());
    return 0;
  }
  const uint32_t blocks = (length + 127) / 128;
  size_t consumed = box.size() - fake_serial_pending();
  std::vector<uint8_t> reactions;
  for (size_t i = 0; i < consumed; ++i) {
    uint8_t b = static_cast<uint8_t>(box[i]);
    if (b == kAck || b == kNak || b == kCan) reactions.push_back(b);
  }

  // Walk the wire: one answer per reaction, in step with the box.
  size_t at = 0;
  uint32_t accepted = 0;  // blocks the box has acknowledged
  std::vector<bool> sent(blocks + 2, false);
  bool eot = false;
  for (size_t k = 0; k < reactions.size(); ++k) {
    uint8_t b = reactions[k];
    FUZZ_CHECK(!eot);  // nothing is read after EOT
    // NAK and CAN repeat the block after the accepted ones, ACK moves on.
    if (b == kAck) accepted++;
    uint32_t want_place = accepted + 1;
    if (want_place > blocks) {
      FUZZ_CHECK(b == kAck);
      FUZZ_CHECK(at < w.size() && static_cast<uint8_t>(w[at]) == kEot);
      at += 1;
      eot = true;
      continue;
    }
    if (at + kBlock > w.size()) {
      // Only the last answer may be missing, and only on failure.
      FUZZ_CHECK(k + 1 == reactions.size() && r == 1);
      break;
    }
    const uint8_t* blk = reinterpret_cast<const uint8_t*>(w.data() + at);
    FUZZ_CHECK(blk[0] == kSoh);
    FUZZ_CHECK(blk[1] == static_cast<uint8_t>(want_place));
    FUZZ_CHECK(static_cast<uint8_t>(blk[1] + blk[2]) == 0xFF);
    FUZZ_CHECK(std::memcmp(blk + 3, g_image_buffer + (want_place - 1) * 128, 128) == 0);
    uint8_t sum = 0;
    for (int i = 0; i < 128; ++i) sum = static_cast<uint8_t>(sum + blk[3 + i]);
    FUZZ_CHECK(blk[131] == sum);
    sent[want_place] = true;
    at += kBlock;
  }
  FUZZ_CHECK(at == w.size());  // nothing on the wire that no reaction asked for
  FUZZ_CHECK((r == 0) == eot);
  if (r == 0) {
    bool first_was_ack = !reactions.empty() && reactions[0] == kAck;
    for (uint32_t p = first_was_ack ? 2 : 1; p <= blocks; ++p) FUZZ_CHECK(sent[p]);
  }
  return 0;
}
