// The dotted-number parser on any text, and the version-line reader fed
// from the fake port. Invariants: a failed parse leaves all fields 0; a run
// of one or three dotted numbers never parses, whatever stands around it;
// two or four (or more) parse to exactly their first, second (and fourth)
// number, in hexadecimal counted from the first with a decimal digit; a
// hexadecimal word over 16 bits never parses; the
// reader ends within its limit, only with a time-out or the device's error,
// and never reads a byte that did not arrive.
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/error.h"
#include "serial/port.h"
#include "serial/sync.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// Bytes that can stand around a version without joining its numbers.
const char kSeparators[] = " :=,;\t()[]xyzVGHQ";

std::string number(uint16_t v, bool hex) {
  char buf[8];
  std::snprintf(buf, sizeof buf, hex ? "%X" : "%u", v);
  return buf;
}

// A version made of `count` numbers from the input, with text from the
// input before and after it.
void check_built_versions(const uint8_t* data, size_t size) {
  if (size < 12) return;
  bool hex = data[0] & 1;
  int count = 1 + data[0] / 2 % 5;  // 1 .. 5 numbers
  uint16_t n[5];
  for (int i = 0; i < 5; ++i) n[i] = uint16_t(data[1 + 2 * i] << 8 | data[2 + 2 * i]);
  std::string text;
  for (size_t i = 11; i < size && i < 19; ++i)
    text += kSeparators[data[i] % (sizeof kSeparators - 1)];
  // A letter right before a hex number would join it; a blank keeps apart.
  text += ' ';
  // One hex word may be given a 17th bit (a leading 1): it holds a decimal
  // digit, so the reading starts at it or before it.
  int big = hex && (data[0] & 0x80) ? data[10] % count : -1;
  for (int i = 0; i < count; ++i) {
    std::string word = number(n[i], hex);
    if (i == big) word = "1" + std::string(4 - word.size(), '0') + word;
    text += (i ? "." : "") + word;
  }
  text += ' ';
  for (size_t i = 19; i < size && i < 27; ++i)
    text += kSeparators[data[i] % (sizeof kSeparators - 1)];

  // In hexadecimal the reading starts at the word that holds the first
  // decimal digit: words of letters alone before it are skipped (unless no
  // word has a digit at all, then the run is read whole).
  int first = 0;
  if (hex) {
    while (first < count && number(n[first], hex).find_first_of("0123456789") == std::string::npos)
      first++;
    if (big >= 0 && big < first) first = big;
    if (first == count) first = 0;
  }
  const uint16_t* m = n + first;
  int left = count - first;

  VersionRecord v = {9, 9, 9};
  bool ok = parse_dotted_numbers(text.c_str(), hex, &v);
  // Up to four numbers are scanned: a fifth is not looked at.
  bool big_read = big >= first && big - first < 4;
  FUZZ_CHECK(ok == ((left == 2 || left >= 4) && !big_read));
  if (ok) {
    FUZZ_CHECK(v.major == m[0] && v.minor == m[1]);
    FUZZ_CHECK(v.build == (left >= 4 ? m[3] : 0));
  } else {
    FUZZ_CHECK(v.major == 0 && v.minor == 0 && v.build == 0);
  }
}

void check_any_text(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  for (bool hex : {false, true}) {
    VersionRecord v = {9, 9, 9};
    bool ok = parse_dotted_numbers(text.c_str(), hex, &v);
    if (text.c_str()[0] == '\0') {
      FUZZ_CHECK(!ok && v.major == 9);
    } else if (!ok) {
      FUZZ_CHECK(v.major == 0 && v.minor == 0 && v.build == 0);
    } else {
      FUZZ_CHECK(std::strchr(text.c_str(), '.') != nullptr);
    }
  }
}

void check_reader(const uint8_t* data, size_t size) {
  if (size < 1) return;
  fake_clock_set(1000);
  fake_serial_reset();
  // The first byte: whether the second line is wanted, and how the bytes
  // are spread out in time.
  bool second_wanted = data[0] & 1;
  uint32_t gap = data[0] >> 1;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  for (size_t i = 0; i < bytes.size(); i += 16) fake_serial_feed(bytes.substr(i, 16), gap * 10);
  if (data[0] & 0x80) g_fake_serial.hung_up = true;
  const uint32_t limit = 15000;
  VersionRecord v = {}, second = {};
  uint32_t start = fake_clock_now();
  plat_set_last_error(0);
  bool ok = read_bootloader_version(1, limit, true, second_wanted, &v, &second);
  uint32_t took = fake_clock_now() - start;
  size_t consumed = bytes.size() - fake_serial_pending();
  FUZZ_CHECK(consumed <= bytes.size());
  if (ok) {
    FUZZ_CHECK(bytes.substr(0, consumed).find("Bootloader Version") != std::string::npos);
  } else {
    uint32_t err = plat_last_error();
    FUZZ_CHECK(err == ERR_TIMEOUT || err == kErrReadAborted);
  }
  // Bounded by the limit: one wait past it at most.
  FUZZ_CHECK(took <= 2 * limit + 2);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_built_versions(data, size);
  check_any_text(data, size);
  check_reader(data, size);
  return 0;
}
