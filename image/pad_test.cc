#include "image/pad.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/report.h"
#include "image/image_buffer.h"
#include "image/sha256.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v >> 24);
  b[at + 1] = static_cast<uint8_t>(v >> 16);
  b[at + 2] = static_cast<uint8_t>(v >> 8);
  b[at + 3] = static_cast<uint8_t>(v);
}

// A well-formed PAD file around `payload`.
Bytes pad_bytes(uint8_t format, uint32_t version, const Bytes& payload) {
  Bytes f(9 + payload.size());
  put32(f, 0, static_cast<uint32_t>(payload.size()));
  f[4] = format;
  put32(f, 5, version);
  std::copy(payload.begin(), payload.end(), f.begin() + 9);
  uint32_t sum = 0;
  for (uint8_t b : payload) sum += b;
  f.resize(f.size() + 4);
  put32(f, f.size() - 4, sum);
  return f;
}

class PadFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pad_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const Bytes& data) {
    std::string path = dir_ + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    return path;
  }

  // A file of `size` bytes that starts with `head` and is zero after it,
  // without writing the zeros (sparse where the file system allows).
  std::string write_sparse(const std::string& name, const Bytes& head, off_t size) {
    std::string path = write(name, head);
    EXPECT_EQ(truncate(path.c_str(), size), 0);
    return path;
  }

  // Header of a file whose payload is `length` zeros: its checksum is 0,
  // so a zero-filled file of length + 13 bytes is well formed.
  static Bytes zero_payload_header(uint32_t length) {
    Bytes h(9);
    put32(h, 0, length);
    h[4] = 21;
    put32(h, 5, 0x00170000);
    return h;
  }

  // Runs padtool from the build tree; false when it is not there.
  static bool padtool(const std::string& args) {
    // The companions sit beside the tool in the build directory.
    std::string build;
    if (const char* dir = std::getenv("UPDATE_BUILD_DIR")) {
      build = dir;
    } else {
      build = UPDATE_DEFAULT_BUILD_DIR;
    }
    std::string tool = build + "/padtool";
    if (access(tool.c_str(), X_OK) != 0) return false;
    return std::system((tool + " " + args + " >/dev/null").c_str()) == 0;
  }

  std::string dir_;
};

uint32_t verify(const std::string& path, uint8_t* format = nullptr, uint32_t* version = nullptr) {
  uint8_t f = 0;
  uint32_t v = 0;
  return pad_verify(path.c_str(), format ? format : &f, version ? version : &v);
}

// For death tests: no wait at the ENTER pause, and standard output on
// standard error, both unbuffered as the driver leaves them, so one regex
// sees everything in the order it was written.
void quiet_stdin_and_merge_stdout() {
  std::freopen("/dev/null", "r", stdin);
  std::fflush(stdout);
  dup2(2, 1);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

// The digest a record carries: the published vectors, one spanning more
// than one 64-byte block, and the lone high byte a sign error would spoil.
TEST(Sha256, PublishedVectors) {
  struct Case {
    std::string data;
    const char* hex;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1, '\xff'), "a8100ae6aa1940d0b663bb31cd466142ebbdbd5187131b92d93818987832eb89"},
  };
  for (const Case& c : cases) {
    char hex[2 * kSha256Bytes + 1];
    sha256_hex(c.data.data(), c.data.size(), hex);
    EXPECT_STREQ(hex, c.hex) << c.data.size() << " bytes";
  }
}

TEST(NormalizePadPath, CygdriveNames) {
  char a[] = "/cygdrive/c/dir/file";
  normalize_pad_path(a);
  EXPECT_STREQ(a, "c:dir/file");
  char b[] = "/cygdrive/d/x/y";
  normalize_pad_path(b);
  EXPECT_STREQ(b, "d:x/y");
  char bare[] = "/cygdrive/c";
  normalize_pad_path(bare);
  EXPECT_STREQ(bare, "c:");
  char prefix_only[] = "/cygdrive/";
  normalize_pad_path(prefix_only);
  EXPECT_STREQ(prefix_only, "");
}

TEST(NormalizePadPath, OtherNamesUnchanged) {
  for (const char* name :
       {"box.pad", "/tmp/box.pad", "cygdrive/c/x", "/cygdrivec/x", "/CYGDRIVE/c/x", ""}) {
    char buf[64];
    std::strcpy(buf, name);
    normalize_pad_path(buf);
    EXPECT_STREQ(buf, name);
  }
}

TEST_F(PadFiles, WellFormedFilesPass) {
  uint8_t format = 0;
  uint32_t version = 0;
  EXPECT_EQ(verify(write("empty.pad", pad_bytes(21, 0x00170000, {})), &format, &version), 13u);
  EXPECT_EQ(format, 21);
  EXPECT_EQ(version, 0x00170000u);

  // Bytes are summed unsigned: 0xFF needs 00 00 00 FF.
  Bytes ff = pad_bytes(5, 0x00150000, {0xFF});
  EXPECT_EQ(ff[10], 0);
  EXPECT_EQ(ff[13], 0xFF);
  EXPECT_EQ(verify(write("ff.pad", ff), &format, &version), 14u);
  EXPECT_EQ(format, 5);
  EXPECT_EQ(version, 0x00150000u);
  // A signed sum would give FF FF FF FF.
  put32(ff, 10, 0xFFFFFFFF);
  EXPECT_EQ(verify(write("ff-signed.pad", ff)), 0u);
}

TEST_F(PadFiles, HeaderIsOutsideTheChecksum) {
  Bytes f = pad_bytes(21, 0x00170000, {1, 2, 3, 4, 5});
  f[4] = 0x22;
  f[8] = 0x99;
  uint8_t format = 0;
  uint32_t version = 0;
  EXPECT_EQ(verify(write("a.pad", f), &format, &version), f.size());
  EXPECT_EQ(format, 0x22);  // unknown, but that is the driver's test
  EXPECT_EQ(version, 0x00170099u);
  f[11] ^= 1;  // a payload byte
  EXPECT_EQ(verify(write("b.pad", f)), 0u);
}

TEST_F(PadFiles, EveryMalformedFileFails) {
  Bytes good = pad_bytes(21, 0x00170000, {10, 20, 30, 40});
  Bytes extra = good;
  extra.push_back(0);
  Bytes no_checksum(good.begin(), good.end() - 4);
  Bytes one_short(good.begin(), good.end() - 1);
  Bytes bad_sum = good;
  bad_sum.back() ^= 0x01;
  Bytes short_header = {0, 0, 0, 0, 21, 0, 0x17, 0, 0, 0, 0, 0};
  Bytes lying_length = good;
  put32(lying_length, 0, 3);

  EXPECT_EQ(verify(dir_ + "/missing.pad"), 0u);
  EXPECT_EQ(verify(write("empty", {})), 0u);
  EXPECT_EQ(verify(write("three", {0, 0, 0})), 0u);
  EXPECT_EQ(verify(write("short_header", short_header)), 0u);
  EXPECT_EQ(verify(write("extra", extra)), 0u);
  EXPECT_EQ(verify(write("one_short", one_short)), 0u);
  EXPECT_EQ(verify(write("no_checksum", no_checksum)), 0u);
  EXPECT_EQ(verify(write("bad_sum", bad_sum)), 0u);
  EXPECT_EQ(verify(write("lying_length", lying_length)), 0u);
  EXPECT_EQ(verify(dir_), 0u);  // a directory
  EXPECT_EQ(verify(write("good", good)), good.size());
}

TEST_F(PadFiles, FailuresPrintNothing) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  verify(dir_ + "/missing.pad");
  verify(write("bad", {0, 0, 0, 5, 21}));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(PadFiles, LargestFileThatFitsTheBufferPasses) {
  uint32_t length = kImageBufferSize - kPadOverhead;
  std::string path = write_sparse("fits.pad", zero_payload_header(length), length + kPadOverhead);
  EXPECT_EQ(verify(path), kImageBufferSize);
}

TEST_F(PadFiles, OversizedFilesEndTheRunWithMessage102) {
  const char* kMessage102 =
      "^file size exceeds limit, please use actual version of update\\.exe\n"
      "error updating image -> ENTER\n$";
  // The payload itself over 8 MiB, as the file format forbids ...
  uint32_t over = kImageBufferSize + 1;
  std::string big = write_sparse("big.pad", zero_payload_header(over), off_t{over} + kPadOverhead);
  EXPECT_EXIT(
      {
        quiet_stdin_and_merge_stdout();
        verify(big);
      },
      ::testing::ExitedWithCode(1), kMessage102);
  // ... and payloads that pass that test but whose file does not fit the
  // buffer the loaders copy it into.
  for (uint32_t length : {kImageBufferSize, kImageBufferSize - 12}) {
    std::string path =
        write_sparse("edge.pad", zero_payload_header(length), off_t{length} + kPadOverhead);
    EXPECT_EXIT(
        {
          quiet_stdin_and_merge_stdout();
          verify(path);
        },
        ::testing::ExitedWithCode(1), kMessage102)
        << length;
    // A caller that outlives the file learns it and goes on.
    bool too_big = false;
    uint8_t format = 0;
    uint32_t version = 0;
    EXPECT_EQ(pad_verify(path.c_str(), &format, &version, nullptr, &too_big), 0u);
    EXPECT_TRUE(too_big) << length;
  }
  // The size test comes first: a huge length in a small file is just bad.
  EXPECT_EQ(verify(write("liar.pad", zero_payload_header(0xFFFFFFF0))), 0u);
}

TEST_F(PadFiles, FileCheckPrintsOkOnOneLine) {
  std::string path = write("good.pad", pad_bytes(22, 0x00180000, {7, 7}));
  testing::internal::CaptureStdout();
  PadCheck c = pad_file_check(path.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Checking file ... OK\n");
  EXPECT_EQ(c.size, 15u);
  EXPECT_EQ(c.format, 22);
  EXPECT_EQ(c.version, 0x00180000u);
  EXPECT_EQ(c.checksum, 14u);
}

TEST_F(PadFiles, FileCheckFailuresEndTheRun) {
  std::string bad = write("bad.pad", {0, 0, 0, 1, 21, 0, 0, 0, 0});
  EXPECT_EXIT(
      {
        quiet_stdin_and_merge_stdout();
        pad_file_check(bad.c_str());
      },
      ::testing::ExitedWithCode(1),
      "^Checking file \\.\\.\\. failed\\. Abort!\n"
      "error updating image -> ENTER\n$");

  for (uint8_t unknown : {18, 34, 0}) {
    std::string path = write("unknown.pad", pad_bytes(unknown, 0x00170000, {}));
    EXPECT_EXIT(
        {
          quiet_stdin_and_merge_stdout();
          pad_file_check(path.c_str());
        },
        ::testing::ExitedWithCode(1),
        "^Checking file \\.\\.\\. OK\nUnknown PAD-file format \n"
        "error updating image -> ENTER\n$");
  }

  // Message 38 is already out, without its line feed, when 102 comes.
  uint32_t over = kImageBufferSize + 1;
  std::string big = write_sparse("big.pad", zero_payload_header(over), off_t{over} + kPadOverhead);
  EXPECT_EXIT(
      {
        quiet_stdin_and_merge_stdout();
        pad_file_check(big.c_str());
      },
      ::testing::ExitedWithCode(1), "^Checking file \\.\\.\\.file size exceeds limit");
}

TEST_F(PadFiles, LoadCopiesTheWholeFileAndNothingMore) {
  Bytes f = pad_bytes(21, 0x00170000, {1, 2, 3, 4, 5, 6, 7});
  std::string path = write("a.pad", f);
  std::memset(g_image_buffer, 0xEE, 64);
  EXPECT_EQ(pad_load(path.c_str(), 0, false), 0);
  EXPECT_EQ(Bytes(g_image_buffer, g_image_buffer + f.size()), f);
  for (size_t i = f.size(); i < 64; ++i) EXPECT_EQ(g_image_buffer[i], 0xEE);
}

// Both loaders hold the reload against the file the check accepted: a file
// rebuilt in between, valid or not, is refused before anything is sent.
TEST_F(PadFiles, LoadersRefuseAFileChangedSinceTheCheck) {
  Bytes checked = pad_bytes(21, 0x00170000, {1, 2, 3, 4, 5, 6, 7});
  Bytes moved = pad_bytes(21, 0x00170000, {2, 1, 3, 4, 5, 6, 7});  // same size and sum
  Bytes header = checked;
  header[4] = 22;  // the header is outside the sum
  struct Case {
    const char* what;
    Bytes reloaded;
    int result;
  } cases[] = {
      {"unchanged", checked, 0},
      {"shorter", pad_bytes(21, 0x00170000, {1, 2, 3}), 1},
      {"longer", pad_bytes(21, 0x00170000, Bytes(300, 9)), 1},
      {"bytes moved", moved, 1},
      {"header changed", header, 1},
  };
  // With a digest taken (a signed run) the digest alone guards the reload.
  for (bool digest : {false, true})
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (digest ? ", digest taken" : ""));
      pad_take_sha256(digest);
      std::string path = write("a.pad", checked);
      ASSERT_EQ(verify(path), checked.size());
      pad_take_sha256(false);
      uint8_t d[kSha256Bytes], want[kSha256Bytes];
      EXPECT_EQ(pad_accepted_sha256(d), digest);
      sha256(checked.data(), checked.size(), want);
      if (digest) {
        EXPECT_EQ(0, std::memcmp(d, want, sizeof d));
      }
      write("a.pad", c.reloaded);
      for (int patched = 0; patched < 2; ++patched) {
        testing::internal::CaptureStdout();
        int r = patched ? pad_load_patched(path.c_str(), 20, 0x00170000, false)
                        : pad_load(path.c_str(), 20, false);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  c.result ? "Checking file ... failed. Abort!\n" : "");
      }
    }
}

// The check reads the file in pieces (header, payload, sum), the loaders
// whole: an unchanged file must come out the same for any payload length.
TEST_F(PadFiles, AnUnchangedFileReloadsWhateverItsLength) {
  for (size_t length : {0, 1, 7, 8, 13, 300, 4099}) {
    SCOPED_TRACE(length);
    Bytes payload(length);
    for (size_t i = 0; i < length; ++i) payload[i] = static_cast<uint8_t>(i * 37 + 5);
    Bytes f = pad_bytes(21, 0x00170000, payload);
    std::string path = write("a.pad", f);
    ASSERT_EQ(verify(path), f.size());
    EXPECT_EQ(pad_load(path.c_str(), 0, false), 0);
  }
}

TEST_F(PadFiles, LoadersReportAMissingFile) {
  std::string path = dir_ + "/gone.pad";
  testing::internal::CaptureStderr();
  EXPECT_EQ(pad_load(path.c_str(), 13, false), 1);
  EXPECT_EQ(pad_load_patched(path.c_str(), 13, 1, false), 1);
  std::string line = "Cannot open file " + path + "\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), line + line);
}

TEST_F(PadFiles, PrefilledTouchesNoFile) {
  // A "dummy" that exists with other bytes must not be read either.
  write("dummy", Bytes(100, 0x11));
  std::string dummy = dir_ + "/dummy";
  Bytes image = pad_bytes(20, 1, {});
  std::memcpy(g_image_buffer, image.data(), image.size());
  g_image_buffer[13] = 0x42;

  EXPECT_EQ(pad_load("dummy", 13, true), 0);
  EXPECT_EQ(pad_load(dummy.c_str(), 13, true), 0);
  EXPECT_EQ(Bytes(g_image_buffer, g_image_buffer + 13), image);
  EXPECT_EQ(g_image_buffer[13], 0x42);

  // Patched: the length argument bounds the patch.
  EXPECT_EQ(pad_load_patched(dummy.c_str(), 13, 0x00170000, true), 0);
  EXPECT_EQ(g_image_buffer[6], 0x17);
  EXPECT_EQ(g_image_buffer[0], 0);
  EXPECT_EQ(g_image_buffer[13], 0x42);
}

TEST_F(PadFiles, PatchedLoadUsesTheLoadedLength) {
  // One record of 4 data bytes: 65 bytes, version words at 5 and 25.
  Bytes payload(52, 0);
  payload[35] = 4;  // data length at record offset 32
  Bytes f = pad_bytes(22, 0x00150000, payload);
  std::string path = write("r.pad", f);
  // The length argument is not what bounds a file load.
  EXPECT_EQ(pad_load_patched(path.c_str(), 0, 0x00170001, false), 0);
  const uint8_t v[4] = {0x00, 0x17, 0x00, 0x01};
  EXPECT_EQ(std::memcmp(g_image_buffer + 5, v, 4), 0);
  EXPECT_EQ(std::memcmp(g_image_buffer + 25, v, 4), 0);
  // Loading again starts from the file, so patches never pile up.
  EXPECT_EQ(pad_load(path.c_str(), 65, false), 0);
  EXPECT_EQ(Bytes(g_image_buffer, g_image_buffer + f.size()), f);
}

TEST_F(PadFiles, FileThatGrewPastTheBufferIsNotLoaded) {
  std::string fits = write_sparse("fits.bin", {1, 2, 3}, kImageBufferSize);
  EXPECT_EQ(pad_load(fits.c_str(), 0, false), 0);
  std::string grown = write_sparse("grown.bin", {1, 2, 3}, kImageBufferSize + 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(pad_load(grown.c_str(), 0, false), 1);
  EXPECT_EQ(pad_load_patched(grown.c_str(), 0, 1, false), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("file size exceeds limit"), std::string::npos) << err;
}

// Files from the independent companion pass the check, and a patched load
// matches what the companion says a patched image looks like.
TEST_F(PadFiles, AgreesWithPadtool) {
  std::string made = dir_ + "/made.pad";
  std::string expect = dir_ + "/expect.pad";
  if (!padtool("create " + made +
               " --format 0x16 --version 21.0 --record 4 --record 9:marked"
               " --record 0 --record 300 --seed 7")) {
    GTEST_SKIP() << "padtool not built";
  }
  uint8_t format = 0;
  uint32_t version = 0;
  uint32_t size = verify(made, &format, &version);
  EXPECT_EQ(size, 13u + 4 * 48 + 4 + 9 + 0 + 300);
  EXPECT_EQ(format, 0x16);
  EXPECT_EQ(version, 0x00150000u);

  ASSERT_TRUE(padtool("patch-expect " + made + " " + expect + " --version 35.2"));
  std::FILE* f = std::fopen(expect.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  Bytes want(size);
  ASSERT_EQ(std::fread(want.data(), 1, size, f), size);
  std::fclose(f);
  ASSERT_EQ(pad_load_patched(made.c_str(), size, (35u << 16) | 2, false), 0);
  EXPECT_EQ(Bytes(g_image_buffer, g_image_buffer + size), want);

  for (const char* flags :
       {"--bad-checksum", "--extra-byte", "--truncate 40", "--length-field 9"}) {
    std::string bad = dir_ + "/bad.pad";
    ASSERT_TRUE(padtool("create " + bad +
                        " --format 21 --version 23.0 "
                        "--random 50 " +
                        flags));
    EXPECT_EQ(verify(bad), 0u) << flags;
  }
}

// Software a server sent that fails the check says why in the record,
// while the console shows only the messages it always did.
TEST(PadBuffer, RefusedSoftwareSaysWhy) {
  Bytes good = pad_bytes(21, 0x00170000, {1, 2, 3});
  Bytes bad_sum = good;
  bad_sum[9] ^= 1;
  Bytes bad_format = pad_bytes(18, 0x00170000, {1, 2, 3});
  struct Case {
    Bytes data;
    const char* detail;
  } cases[] = {
      {good, ""},
      {Bytes(good.begin(), good.begin() + 12), "too short: 12 bytes"},
      {Bytes(good.begin(), good.end() - 1), "size field: payload length 3, 15 bytes received"},
      {bad_sum, "checksum"},
      {bad_format, "format code 18"},
  };
  for (const Case& c : cases) {
    report_reset();
    std::copy(c.data.begin(), c.data.end(), g_image_buffer);
    testing::internal::CaptureStdout();
    bool ok = pad_buffer_check(static_cast<uint32_t>(c.data.size()));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ok, c.detail[0] == '\0') << c.detail;
    EXPECT_STREQ(report_detail_text(), c.detail);
  }
}

}  // namespace
