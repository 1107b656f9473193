// Signed releases end to end: the real update-sign makes the keys and the
// signatures; update and update-station refuse every tampered, foreign or
// unsigned file before a byte reaches the simulated box, and load the good
// one byte for byte.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/e2e/harness.h"

namespace {

bool contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

// A file whose payload byte `at` (from the file's start) has one bit
// flipped and whose checksum is made right again: it passes the file
// check, so only the signature can catch it.
std::string flip_payload_bit(std::string f, size_t at) {
  f[at] = char(f[at] ^ 0x10);
  uint32_t sum = 0;
  for (size_t i = 9; i + 4 < f.size(); ++i) sum += uint8_t(f[i]);
  for (int k = 0; k < 4; ++k) f[f.size() - 4 + k] = char(sum >> (24 - 8 * k));
  return f;
}

// The manifest with one bit flipped in the value of the line `field`,
// so that it still parses.
std::string flip_manifest(std::string m, const std::string& field, size_t into) {
  size_t at = m.find(field + ": ");
  EXPECT_NE(at, std::string::npos);
  at += field.size() + 2 + into;
  // A character whose neighbour by one bit is still in the line's alphabet.
  auto keeps = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'B' && c <= 'Y') || (c >= 'b' && c <= 'y');
  };
  while (!keeps(m[at])) ++at;
  m[at] = char(m[at] ^ 1);
  return m;
}

class Signed : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = make_temp_dir();
    for (const char* k : {"new", "old", "stranger"}) {
      ProcResult r = run_process({build_path("update-sign"), "keygen", dir + "/" + k});
      ASSERT_EQ(r.exit_code, 0) << r.err;
    }
    good = dir + "/box.pad";
    ASSERT_EQ(make_pad(good, {"--format", "21", "--version", "23.0", "--record", "3000"}), 0);
    ASSERT_EQ(
        make_pad(dir + "/other.pad", {"--format", "21", "--version", "23.0", "--record", "2000"}),
        0);
    sign("new", {good, dir + "/other.pad"});
    trust = dir + "/trust";
    write_file(trust, "# the line's release keys\n" + read_file(dir + "/new.pub"));
  }
  void TearDown() override {
    kill_process(&box);
    std::system(("rm -rf " + dir).c_str());
  }

  void sign(const std::string& key, const std::vector<std::string>& files) {
    std::vector<std::string> argv = {build_path("update-sign"), "sign", "--key", dir + "/" + key};
    argv.insert(argv.end(), files.begin(), files.end());
    ProcResult r = run_process(argv);
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }

  // One attack: a file and its .sig (absent when `sig` is null) made from
  // the good ones, and the trust file to check them with.
  struct Attack {
    const char* name;
    std::function<std::string(const std::string&)> file;  // from the good file
    std::function<std::string(const std::string&)> sig;   // from its manifest
    bool no_sig;
    std::string trust_text;  // "" = the line's trust file
    std::string reason;      // what the refusal names
  };

  std::vector<Attack> attacks() {
    auto same = [](const std::string& s) { return s; };
    std::string other_sig = read_file(dir + "/other.pad.sig");
    std::string foreign = dir + "/foreign.pad";
    EXPECT_EQ(make_pad(foreign, {"--format", "21", "--version", "23.0", "--record", "3000"}), 0);
    sign("stranger", {foreign});
    std::string foreign_sig = read_file(foreign + ".sig");
    std::string foreign_file = read_file(foreign);
    return {
        {"a bit of the image", [](const std::string& f) { return flip_payload_bit(f, 100); }, same,
         false, "", "SHA-256 does not match the file"},
        {"a bit of the header's version word",
         [](const std::string& f) {
           std::string g = f;
           g[8] = char(g[8] ^ 1);
           return g;
         },
         same, false, "", "SHA-256 does not match the file"},
        {"a bit of the manifest's hash line", same,
         [](const std::string& m) { return flip_manifest(m, "sha256", 7); }, false, "",
         "signature does not match"},
        {"a bit of the signature", same,
         [](const std::string& m) { return flip_manifest(m, "signature", 30); }, false, "",
         "signature does not match"},
        {"another file's manifest", same, [=](const std::string&) { return other_sig; }, false, "",
         "size does not match the file"},
        {"signed by a key not trusted", [=](const std::string&) { return foreign_file; },
         [=](const std::string&) { return foreign_sig; }, false, "", "key not trusted"},
        {"the old key after rotation", same, same, false, read_file(dir + "/old.pub"),
         "key not trusted"},
        {"no .sig", same, same, true, "", "no signature file"},
        {"an empty .sig", same, [](const std::string&) { return std::string(); }, false, "",
         "signature file empty"},
        {"a garbage .sig", same,
         [](const std::string&) {
           return std::string(
               "\x7f"
               "ELF\x02");
         },
         false, "", "malformed manifest line"},
        {"a trust file with no key", same, same, false, "# keys go here\n\n", "no key in it"},
    };
  }

  // Lays out attack `a` in a folder of its own; returns the file's path and
  // sets `trust_path`.
  std::string lay_out(const Attack& a, int n, std::string* trust_path) {
    std::string d = dir + "/case" + std::to_string(n);
    mkdir(d.c_str(), 0755);
    std::string f = d + "/box.pad";
    write_file(f, a.file(read_file(good)));
    if (!a.no_sig) write_file(f + ".sig", a.sig(read_file(good + ".sig")));
    *trust_path = trust;
    if (!a.trust_text.empty()) {
      *trust_path = d + "/trust";
      write_file(*trust_path, a.trust_text);
    }
    return f;
  }

  std::string start_box() {
    std::vector<std::string> argv = {
        build_path("boxsim"), "--out", dir + "/received.bin", "--timeout", "120", "--expect", good};
    EXPECT_TRUE(start_process(&box, argv));
    std::string line = wait_for_line(&box, "COM ", 10000);
    EXPECT_FALSE(line.empty()) << box.err;
    return line.substr(4);
  }

  std::string received() {
    return access((dir + "/received.bin").c_str(), F_OK) == 0 ? read_file(dir + "/received.bin")
                                                              : "";
  }

  std::string dir, good, trust;
  BgProcess box;
};

// Every attack ends the run with exit 1 and the reason, recorded, before
// the port is opened; then the good file loads byte for byte on the same
// box, signed by the key that rotated in.
TEST_F(Signed, UpdateRefusesEveryAttackBeforeThePortAndLoadsTheGoodFile) {
  std::string com = start_box();
  int n = 0;
  for (const Attack& a : attacks()) {
    SCOPED_TRACE(a.name);
    std::string t;
    std::string f = lay_out(a, n++, &t);
    std::string journal = dir + "/j" + std::to_string(n) + ".jsonl";
    ProcResult r =
        run_process({update_bin(), "-p", com, "--trust", t, "--journal", journal, f}, "", 60000);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, a.reason)) << r.err;
    EXPECT_EQ(received(), "");
    nlohmann::json rec = nlohmann::json::parse(read_file(journal));
    EXPECT_EQ(rec["bytes_sent"], 0);
    EXPECT_TRUE(contains(rec["error"].get<std::string>(), a.reason)) << rec.dump();
    if (!contains(a.reason, "no key")) {
      EXPECT_EQ(rec["signature"], a.reason) << rec.dump();
    }
  }

  // Rotation: both keys while the old releases still run, then the new
  // key alone; the old key's files verify only while it is trusted.
  std::string old_file = dir + "/old.pad";
  ASSERT_EQ(make_pad(old_file, {"--format", "21", "--version", "23.0", "--record", "100"}), 0);
  sign("old", {old_file});
  std::string both = dir + "/both";
  write_file(both, read_file(dir + "/old.pub") + read_file(dir + "/new.pub"));
  ProcResult v =
      run_process({build_path("update-sign"), "verify", "--trust", both, old_file, good});
  EXPECT_EQ(v.exit_code, 0) << v.out << v.err;
  EXPECT_EQ(v.out, old_file + ": ok (key old)\n" + good + ": ok (key new)\n");
  v = run_process({build_path("update-sign"), "verify", "--trust", trust, old_file, good});
  EXPECT_EQ(v.exit_code, 1);
  EXPECT_EQ(v.out, old_file + ": key not trusted\n" + good + ": ok (key new)\n");

  // The good file, its signature named apart with --signature.
  std::string sig = dir + "/elsewhere.sig";
  write_file(sig, read_file(good + ".sig"));
  std::remove((good + ".sig").c_str());
  std::string journal = dir + "/good.jsonl";
  ProcResult r = run_process(
      {update_bin(), "-p", com, "--trust", trust, "--signature", sig, "--journal", journal, good},
      "", 120000);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("Checking file ... OK\nSignature OK (key new)\n"), 0u) << r.out;
  EXPECT_EQ(wait_process(&box, 20000), 0) << box.out << box.err;
  std::string want = read_file(good), got = received();
  ASSERT_GE(got.size(), want.size());
  EXPECT_EQ(got.substr(0, want.size()), want);
  nlohmann::json rec = nlohmann::json::parse(read_file(journal));
  EXPECT_EQ(rec["signature"], "ok");
  EXPECT_EQ(rec["signature_key"], "new");
}

// The station checks once before any slot starts: no run, no record, the
// reason on standard error; the good file passes that check.
TEST_F(Signed, StationRefusesEveryAttackBeforeAnySlot) {
  std::string com = start_box();
  int n = 0;
  for (const Attack& a : attacks()) {
    SCOPED_TRACE(a.name);
    std::string t;
    std::string f = lay_out(a, n++, &t);
    std::string journal = dir + "/s" + std::to_string(n) + ".jsonl";
    ProcResult r = run_process(
        {build_path("update-station"), "-p", com, "--trust", t, "--journal", journal, f}, "",
        20000);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, a.reason)) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(access(journal.c_str(), F_OK), 0);
    EXPECT_EQ(received(), "");
  }
}

}  // namespace
