#include "core/journal.h"

#include <gtest/gtest.h>

namespace {

// Whatever bytes a path or a message holds, the journal line stays valid
// JSON and valid UTF-8.
TEST(Journal, JsonStringsForAnyBytes) {
  struct Case {
    const char* in;
    const char* out;
  };
  static const Case kCases[] = {
      {"box.pad", "\"box.pad\""},
      {"a \"b\" c\\d", "\"a \\\"b\\\" c\\\\d\""},
      {"l1\nl2\r\t", "\"l1\\nl2\\r\\t\""},
      {"\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\""},
      // Well-formed UTF-8 stays as it is.
      {"f\xC3\xBCr \xE2\x82\xAC \xF0\x9F\x93\xA6", "\"f\xC3\xBCr \xE2\x82\xAC \xF0\x9F\x93\xA6\""},
      // A Latin-1 byte, a cut-off sequence, an overlong form, a surrogate
      // and a code point past U+10FFFF become \u00XX byte by byte.
      {"f\xFCr", "\"f\\u00fcr\""},
      {"x\xE2\x82", "\"x\\u00e2\\u0082\""},
      {"\xC0\xAF", "\"\\u00c0\\u00af\""},
      {"\xED\xA0\x80", "\"\\u00ed\\u00a0\\u0080\""},
      {"\xF4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},
      {"", "\"\""},
  };
  for (const Case& c : kCases) EXPECT_EQ(json_string(c.in), c.out) << c.in;
}

}  // namespace
