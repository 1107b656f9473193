#include "image/checks.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "image/image_buffer.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t get32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

constexpr uint32_t kOld = 0x00150000;
constexpr uint32_t kNew = 0x00170001;
constexpr uint8_t kFill = 0x5A;

// Builds an image in the buffer: header (length, format, kOld), records
// of the given data lengths (marked ones carry 0x00060000), checksum bytes.
// Bytes past the image keep kFill. Returns the image length.
struct Rec {
  uint32_t data_length;
  bool marked = false;
};
uint32_t build(const std::vector<Rec>& records, size_t tail_fill = 256) {
  size_t payload = 0;
  for (const Rec& r : records) payload += 48 + r.data_length;
  uint32_t n = static_cast<uint32_t>(payload + 13);
  std::memset(g_image_buffer, kFill, n + tail_fill);
  put32(g_image_buffer, static_cast<uint32_t>(payload));
  g_image_buffer[4] = 22;
  put32(g_image_buffer + 5, kOld);
  size_t at = 9;
  for (const Rec& r : records) {
    put32(g_image_buffer + at + 16, r.marked ? 0x00060000 : kOld);
    put32(g_image_buffer + at + 32, r.data_length);
    at += 48 + r.data_length;
  }
  put32(g_image_buffer + at, 0xC0C0C0C0);  // checksum, never patched
  return n;
}

Bytes snapshot(size_t n) { return Bytes(g_image_buffer, g_image_buffer + n); }

// Offsets whose byte the patch changed, within the first `n` bytes.
std::vector<size_t> changed(const Bytes& before) {
  std::vector<size_t> out;
  for (size_t i = 0; i < before.size(); ++i) {
    if (g_image_buffer[i] != before[i]) out.push_back(i);
  }
  return out;
}

std::vector<size_t> range(size_t from, size_t count) {
  std::vector<size_t> out;
  for (size_t i = 0; i < count; ++i) out.push_back(from + i);
  return out;
}

TEST(PatchVersions, SingleRecordRewritesHeaderAndRecordWordOnly) {
  uint32_t n = build({{4}});
  ASSERT_EQ(n, 65u);
  Bytes before = snapshot(n + 256);
  pad_patch_versions(n, kNew);
  std::vector<size_t> want = range(5, 4);
  for (size_t i : range(25, 4)) want.push_back(i);
  // 0x00150000 -> 0x00170001 differs in bytes 6 and 8 of each word only.
  std::vector<size_t> got = changed(before);
  for (size_t i : got) {
    EXPECT_TRUE((i >= 5 && i <= 8) || (i >= 25 && i <= 28)) << i;
  }
  EXPECT_EQ(get32(g_image_buffer + 5), kNew);
  EXPECT_EQ(get32(g_image_buffer + 25), kNew);
}

TEST(PatchVersions, MarkedRecordKeptButSteppedOver) {
  uint32_t n = build({{3}, {5, true}, {0}, {7, true}, {2}});
  Bytes before = snapshot(n + 256);
  pad_patch_versions(n, kNew);
  size_t at = 9;
  const uint32_t lengths[] = {3, 5, 0, 7, 2};
  const bool marked[] = {false, true, false, true, false};
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(get32(g_image_buffer + at + 16), marked[k] ? 0x00060000 : kNew) << "record " << k;
    at += 48 + lengths[k];
  }
  // Beyond the version words nothing moved, the checksum included.
  Bytes after = snapshot(n + 256);
  at = 9;
  for (uint32_t d : lengths) {
    std::memcpy(after.data() + at + 16, before.data() + at + 16, 4);
    at += 48 + d;
  }
  std::memcpy(after.data() + 5, before.data() + 5, 4);
  EXPECT_EQ(after, before);
}

TEST(PatchVersions, SameVersionStillRewritesRecords) {
  uint32_t n = build({{1}, {1}});
  put32(g_image_buffer + 9 + 16, 0x00200000);
  put32(g_image_buffer + 9 + 49 + 16, 0x00210003);
  pad_patch_versions(n, kOld);
  EXPECT_EQ(get32(g_image_buffer + 5), kOld);
  EXPECT_EQ(get32(g_image_buffer + 9 + 16), kOld);
  EXPECT_EQ(get32(g_image_buffer + 9 + 49 + 16), kOld);
}

TEST(PatchVersions, BrokenRecordsStopTheWalk) {
  // A record header cut off by the end of the image.
  uint32_t n = 9 + 30 + 4;
  std::memset(g_image_buffer, 0, n + 64);
  Bytes before = snapshot(n + 64);
  pad_patch_versions(n, 0xFFFFFFFF);
  EXPECT_EQ(changed(before), range(5, 4));

  // Data length carrying the next record past the end: that record is left
  // alone, the good one before it is patched.
  n = build({{4}, {0}});
  put32(g_image_buffer + 9 + 52 + 32, 1000);
  pad_patch_versions(n, kNew);
  EXPECT_EQ(get32(g_image_buffer + 25), kNew);
  EXPECT_EQ(get32(g_image_buffer + 9 + 52 + 16), kOld);

  // A length that would wrap a 32-bit offset back into the image.
  for (uint32_t huge : {0xFFFFFFF0u, 0xFFFFFFFFu, 0xFFFFFFD0u - 9}) {
    n = build({{4}, {64}});
    put32(g_image_buffer + 9 + 32, huge);
    before = snapshot(n + 256);
    pad_patch_versions(n, kNew);
    EXPECT_EQ(changed(before), std::vector<size_t>({6, 8})) << huge;
  }
}

TEST(PatchVersions, ShortImagesTouchNothingOutside) {
  for (uint32_t n = 0; n < 13; ++n) {
    std::memset(g_image_buffer, 0xAB, 64);
    pad_patch_versions(n, 0x01020304);
    for (uint32_t i = 0; i < 64; ++i) {
      bool header_word = n >= 9 && i >= 5 && i <= 8;
      EXPECT_EQ(g_image_buffer[i], header_word ? i - 4 : 0xAB) << "n=" << n << " i=" << i;
    }
  }
}

TEST(PatchVersions, NeverWritesPastTheImageOrItsLastFourBytes) {
  // Arbitrary bytes as records, many lengths: whatever the walk makes of
  // them, it stays inside and leaves the checksum. ASan guards the reads.
  uint64_t state = 12345;
  auto next = [&state] {
    state = state * 6364136223846793005ULL + 1;
    return static_cast<uint8_t>(state >> 59);  // small, so records chain
  };
  for (uint32_t n = 13; n < 400; n += 3) {
    for (uint32_t i = 0; i < n + 64; ++i) g_image_buffer[i] = next();
    Bytes before = snapshot(n + 64);
    pad_patch_versions(n, 0xDEADBEEF);
    for (size_t i : changed(before)) {
      EXPECT_LT(i, n - 4) << "n=" << n;
    }
  }
}

TEST(PatchVersions, LengthBeyondTheBufferStaysInside) {
  // Zero bytes make a chain of empty records over the whole buffer.
  std::memset(g_image_buffer, 0, kImageBufferSize);
  pad_patch_versions(0xFFFFFFFF, 0x00170000);
  EXPECT_EQ(get32(g_image_buffer + 5), 0x00170000u);
  EXPECT_EQ(get32(g_image_buffer + 9 + 16), 0x00170000u);
  // The last record that fits starts at 9 + 48k <= size - 48.
  size_t last = 9 + (kImageBufferSize - 9 - 48) / 48 * 48;
  EXPECT_EQ(get32(g_image_buffer + last + 16), 0x00170000u);
  for (size_t i = last + 48; i < kImageBufferSize; ++i) {
    ASSERT_EQ(g_image_buffer[i], 0) << i;
  }
}

class Settings : public ::testing::Test {
 protected:
  void SetUp() override { settings_reset(&g_settings); }
  void TearDown() override { settings_reset(&g_settings); }
};

TEST_F(Settings, FormatRulesForEveryCode) {
  auto in = [](int f, std::initializer_list<int> set) {
    for (int s : set) {
      if (s == f) return true;
    }
    return false;
  };
  for (int f = 0; f < 256; ++f) {
    bool sync = in(f, {16, 17, 19, 20, 21, 22, 23, 24, 25, 32, 33, 35, 36, 37, 38, 39, 40, 41});
    bool locked = f >= 32 && f <= 41;
    for (bool patch_before : {false, true}) {
      settings_reset(&g_settings);
      g_settings.patch = patch_before;
      g_settings.revision = true;
      apply_format_rules(static_cast<uint8_t>(f));
      EXPECT_EQ(g_settings.sync_mode, sync) << f;
      EXPECT_EQ(g_settings.await_grant, sync) << f;
      bool patch = f == 22 ? true : locked ? false : patch_before;
      EXPECT_EQ(g_settings.patch, patch) << f << " " << patch_before;
      EXPECT_EQ(g_settings.revision, !locked) << f;
    }
  }
}

TEST_F(Settings, FastCheck) {
  struct Case {
    uint32_t version;
    uint8_t format;
    bool fast, force;
    bool capable, fast_after, warns;
  };
  const Case cases[] = {
      {0x00170000, 21, true, false, true, true, false},     // 23.0 row
      {0x00190000, 21, true, false, false, false, true},    // 25.0 row: slow
      {0x00190000, 21, true, true, false, true, false},     // forced
      {0x00190000, 21, false, false, false, false, false},  // not asked for
      {0x00170005, 5, true, false, true, true, false},      // 23.x, no row
      {0x00150005, 5, true, false, false, false, true},     // 21.x, no row
      {0x00150005, 5, true, true, false, true, false},      // 21.x, forced
      {1, 20, true, false, true, true, false},              // server run
  };
  for (const Case& c : cases) {
    settings_reset(&g_settings);
    g_settings.fast = c.fast;
    g_settings.force_fast = c.force;
    testing::internal::CaptureStderr();
    check_fast_capable(c.format, c.version);
    std::string err = testing::internal::GetCapturedStderr();
    SCOPED_TRACE(testing::Message() << std::hex << c.version << " " << int{c.format});
    EXPECT_EQ(g_settings.fast_capable, c.capable);
    EXPECT_EQ(g_settings.fast, c.fast_after);
    EXPECT_EQ(err, c.warns ? "WARNING: box can not do the fast update\n" : "");
  }
}

}  // namespace
