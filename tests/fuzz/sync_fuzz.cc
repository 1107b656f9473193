// The digit-echo synchronisation against a box whose answers to the digits
// come from the input, and the acquisition's decision after each failed
// attempt, over a run of errors from the input.
// Invariants of the synchronisation: the digits go out as 0, 1, ... 9, 0
// ...; it succeeds only on two answered digits in a row (a digit is
// answered when the last byte that came for it is the digit itself, 0xFF
// being line noise), at the first such pair, and then ends in the start
// byte and the speed byte; it fails only when the box is gone or, with
// give-up, after a multiple of 20 digits and never more than 20.
// Invariants of the acquisition: an error other than a time-out or a gone
// device ends it at once; those two are retried, the gone device on a
// reopened port, exactly as often as the budget allows, never below 0.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"
#include "serial/acquire.h"
#include "serial/port.h"
#include "serial/sync.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// The box's side: one answer per digit, read from the input as a head byte
// (length in its low 3 bits, delay in the rest when paced) and the bytes.
struct Box {
  const uint8_t* next;
  size_t left;
  bool paced;
  bool read_after;
  std::vector<std::string> answers;
};
Box g_box;

void on_write(uint8_t b) {
  if (b < '0' || b > '9') {
    // A closing byte: with read after sync the box answers it.
    if (g_box.read_after) fake_serial_feed(std::string(1, '\0'));
    return;
  }
  if (g_box.left == 0) {
    g_fake_serial.hung_up = true;  // the input is spent: the box is gone
    return;
  }
  uint8_t head = *g_box.next++;
  g_box.left--;
  size_t len = head & 7;
  if (len > g_box.left) len = g_box.left;
  std::string answer(reinterpret_cast<const char*>(g_box.next), len);
  g_box.next += len;
  g_box.left -= len;
  fake_serial_feed(answer, g_box.paced ? (head >> 3) * 10u : 0);
  g_box.answers.push_back(answer);
}

bool answered(size_t i) {
  const std::string& a = g_box.answers[i];
  return !a.empty() && (uint8_t)a.back() != 0xFF && a.back() == char('0' + i % 10);
}

void check_sync(const uint8_t* data, size_t size) {
  if (size < 1) return;
  fake_clock_set(1000);
  fake_serial_reset();
  SyncSettings ss = {};
  ss.urloader = data[0] & 1;
  ss.read_after_sync = data[0] & 2;
  ss.give_up = data[0] & 4;
  ss.quiet = data[0] & 16;
  uint8_t speed = data[0] & 32 ? 0xF1 : kSpeedKeep;
  g_box = Box{data + 1, size - 1, (data[0] & 8) != 0, ss.read_after_sync, {}};
  g_fake_serial.on_write = on_write;

  bool ok = synchronise(1, speed, ss);

  const std::string& out = g_fake_serial.written;
  size_t digits = out.size() - (ok ? 2 : 0);
  for (size_t i = 0; i < digits; ++i) FUZZ_CHECK(out[i] == char('0' + i % 10));
  FUZZ_CHECK(g_box.answers.size() == digits || (!ok && g_box.answers.size() + 1 == digits));
  bool gone = g_fake_serial.hung_up;
  bool gives_up = ss.give_up && !ss.urloader;
  if (gives_up) FUZZ_CHECK(digits <= 20);
  if (ok) {
    FUZZ_CHECK(digits >= 2 && !gone);
    const std::string closing = {char(kStartByte), char(speed)};
    FUZZ_CHECK(out.substr(digits) == closing);
  } else {
    FUZZ_CHECK(gone || (gives_up && digits > 0 && digits % 20 == 0));
  }
  if (g_box.paced) return;
  // Answers that are all there before the box is listened to are each read
  // whole for their own digit: the outcome follows from them alone.
  size_t pairs_before_end = 0;
  for (size_t i = 1; i + 1 < g_box.answers.size(); ++i)
    if (answered(i - 1) && answered(i)) pairs_before_end++;
  size_t n = g_box.answers.size();
  bool last_pair = n >= 2 && answered(n - 2) && answered(n - 1);
  FUZZ_CHECK(pairs_before_end == 0);
  if (ok) FUZZ_CHECK(last_pair);
  if (gone) FUZZ_CHECK(!last_pair);
}

void check_acquire_steps(const uint8_t* data, size_t size) {
  if (size < 1) return;
  const int budget = data[0] % 20 - 2;  // -2 .. 17
  int left = budget;
  int retries = 0;
  for (size_t i = 1; i < size; ++i) {
    static const uint32_t kOthers[] = {
        0, ERR_RECEIVE_FULL, ERR_BOX_ERROR, kErrWriteTimeout, kErrRateRefused, 0xFFFFFFFF, 2, 16};
    uint32_t err = data[i] % 4 == 0   ? ERR_TIMEOUT
                   : data[i] % 4 == 1 ? kErrReadAborted
                                      : kOthers[data[i] / 4 % 8];
    AcquireStep step = acquire_retry_step(err, left);
    if (step == AcquireStep::kRetry || step == AcquireStep::kReopen) {
      FUZZ_CHECK(left > 0);
      FUZZ_CHECK((step == AcquireStep::kReopen) == (err == kErrReadAborted));
      left--;
      retries++;
      continue;
    }
    if (step == AcquireStep::kOtherError) {
      FUZZ_CHECK(err != ERR_TIMEOUT && err != kErrReadAborted);
    } else {
      // The budget was used in full first.
      FUZZ_CHECK(retries == (budget > 0 ? budget : 0));
      FUZZ_CHECK((step == AcquireStep::kOutOfTimeOuts) == (err == ERR_TIMEOUT));
      FUZZ_CHECK((step == AcquireStep::kStaysGone) == (err == kErrReadAborted));
    }
    break;
  }
  FUZZ_CHECK(left >= 0 || left == budget);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_sync(data, size);
  check_acquire_steps(data, size);
  return 0;
}
