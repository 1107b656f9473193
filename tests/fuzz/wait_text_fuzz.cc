// Wait for text fed from the fake port with any bytes at any pace.
// Invariants: success only when the text is among the bytes received (NULs
// included) and "ERROR:" is not; a box error only when the marker came; a
// full buffer only after 10,239 bytes; a time-out only after the limit; a
// device that is gone ends the wait with its error; never a byte read that
// did not arrive, never past the receive buffer; the box's line is kept
// exactly when it ended the wait, without a control character in it.
#include <cstdint>
#include <string>

#include "platform/error.h"
#include "serial/port.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  fake_clock_set(1000);
  fake_serial_reset();
  // First byte: the text awaited and the limit; second: the pace.
  static const char* const kTexts[] = {"finished!", "granted", "Now start download", "!"};
  const char* text = kTexts[data[0] & 3];
  uint32_t limit = (data[0] >> 2 & 3) * 1000;  // 0 (none), 1000, 2000, 3000
  bool gone_at_end = data[0] & 0x10;
  uint32_t gap = data[1];
  std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);
  // Chunks of varying size, `gap` ms apart, so texts arrive split.
  size_t chunk = 1 + data[1] % 23;
  for (size_t i = 0; i < bytes.size(); i += chunk) fake_serial_feed(bytes.substr(i, chunk), gap);

  // Without a limit nothing but the bytes can end the wait: the line
  // hangs up after them then.
  bool hang_up_after = gone_at_end || limit == 0;
  g_fake_serial.hang_up_when_drained = hang_up_after;
  uint32_t start = fake_clock_now();
  plat_set_last_error(0);
  clear_box_error();
  bool ok = wait_for_text(1, text, limit);
  uint32_t err = plat_last_error();
  size_t consumed = bytes.size() - fake_serial_pending();
  std::string got = bytes.substr(0, consumed);
  uint32_t took = fake_clock_now() - start;
  FUZZ_CHECK(consumed <= kReceiveBufferSize - 1);
  FUZZ_CHECK((err == ERR_BOX_ERROR && !ok) == (last_box_error()[0] != '\0'));
  if (ok) {
    FUZZ_CHECK(got.find(text) != std::string::npos);
    FUZZ_CHECK(got.find("ERROR:") == std::string::npos);
  } else if (err == ERR_BOX_ERROR) {
    FUZZ_CHECK(got.find("ERROR:") != std::string::npos);
    // The kept line is the marker's, with no control left in it.
    std::string line = last_box_error();
    FUZZ_CHECK(line.compare(0, 6, "ERROR:") == 0);
    for (unsigned char c : line) FUZZ_CHECK((c >= 0x20 || c == '\t') && c != 0x7F);
  } else if (err == ERR_RECEIVE_FULL) {
    FUZZ_CHECK(consumed == kReceiveBufferSize - 1);
  } else if (err == ERR_TIMEOUT) {
    FUZZ_CHECK(limit != 0 && took > limit);
    FUZZ_CHECK(got.find(text) == std::string::npos);
  } else {
    FUZZ_CHECK(err == kErrReadAborted && hang_up_after);
  }
  return 0;
}
