#include "image/signature.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(Sha256, StreamInPiecesMatchesWhole) {
  struct Case {
    std::string in, hex;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const Case& c : cases) {
    char whole[2 * kSha256Bytes + 1];
    sha256_hex(c.in.data(), c.in.size(), whole);
    EXPECT_EQ(whole, c.hex) << c.in;
    Sha256Stream s;
    sha256_begin(&s);
    for (char ch : c.in) sha256_add(&s, &ch, 1);
    uint8_t d[kSha256Bytes];
    sha256_end(&s, d);
    EXPECT_EQ(hex_text(d, sizeof d), c.hex) << c.in;
  }
}

SecretKey make_key(const std::string& name) {
  SecretKey k;
  EXPECT_TRUE(key_generate(name, &k));
  return k;
}

TEST(Keys, LinesReadBackAndBadOnesAreRefused) {
  SecretKey k = make_key("release-2026");
  PublicKey p;
  ASSERT_TRUE(parse_public_key_line(public_key_line(k.pub) + "\n", &p));
  EXPECT_EQ(0, std::memcmp(p.key, k.pub.key, kKeySize));
  EXPECT_EQ(p.name, "release-2026");
  SecretKey back;
  ASSERT_TRUE(parse_secret_key_text(secret_key_text(k), &back));
  EXPECT_EQ(0, std::memcmp(back.seed, k.seed, kKeySize));
  EXPECT_EQ(key_id(back.pub), key_id(k.pub));
  EXPECT_EQ(key_id(k.pub).size(), 2 * kKeyIdSize);

  std::string b64 = public_key_line(k.pub).substr(8, 44);
  const std::string bad[] = {
      "",
      "ed25519",
      "ed448 " + b64 + " n",
      "ed25519 " + b64,
      "ed25519 " + b64 + " two words",
      "ed25519 " + b64.substr(1) + " n",              // a byte short
      "ed25519 " + b64.substr(0, 42) + "B= n",        // not the one spelling
      "ed25519 " + b64 + " " + std::string(65, 'n'),  // name too long
  };
  for (const std::string& line : bad) EXPECT_FALSE(parse_public_key_line(line, &p)) << line;
}

// One signed manifest, then each change an attacker or an accident makes.
TEST(Manifest, EveryChangeIsRefusedWithItsReason) {
  SecretKey k = make_key("rel"), other = make_key("old");
  std::string file = "pretend PAD bytes";
  FileFacts f = file_facts(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  f.format = 21;
  f.version = 0x00170000;
  std::string good = manifest_sign(f, "2026-12-09T06:21:11Z", k);
  ASSERT_FALSE(good.empty());
  Trust t;
  t.keys = {other.pub, k.pub};

  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return s.replace(at, from.size(), to);
  };
  auto flipped = [&](const std::string& line, size_t into) {
    std::string s = good;
    size_t at = s.find(line) + line.size() + into;
    s[at] = s[at] == 'a' ? 'b' : 'a';
    return s;
  };
  std::string hash = hex_text(f.sha256, kSha256Bytes);
  FileFacts bigger = f, rehashed = f, reformatted = f, reversioned = f;
  bigger.size++;
  rehashed.sha256[0] ^= 1;
  reformatted.format = 22;
  reversioned.version = 0x00180000;
  Trust only_other;
  only_other.keys = {other.pub};

  struct Case {
    const char* what;
    std::string text;
    const Trust* trust;
    const FileFacts* facts;
    SigResult want;
  } cases[] = {
      {"good", good, &t, &f, kSigOk},
      {"hash line changed", flipped("sha256: ", 10), &t, &f, kSigBadSignature},
      {"time changed", replaced("06:21:11", "06:21:12"), &t, &f, kSigBadSignature},
      {"signature changed", flipped("signature: ", 20), &t, &f, kSigBadSignature},
      {"key removed from trust", good, &only_other, &f, kSigUnknownKey},
      {"other file's size", good, &t, &bigger, kSigSizeMismatch},
      {"other file's hash", good, &t, &rehashed, kSigHashMismatch},
      {"other format", good, &t, &reformatted, kSigFormatMismatch},
      {"other version", good, &t, &reversioned, kSigVersionMismatch},
      {"empty", "", &t, &f, kSigEmpty},
      {"too long", good + std::string(kMaxManifest, '#'), &t, &f, kSigTooLong},
      {"garbage",
       "\x7f"
       "ELF\x02\x01",
       &t, &f, kSigBadLine},
      {"trailing line", good + "extra: 1\n", &t, &f, kSigTrailing},
      {"no signature line", good.substr(0, good.find("signature: ")), &t, &f, kSigBadField},
      {"no final line end", good.substr(0, good.size() - 1), &t, &f, kSigBadLine},
      {"CRLF", replaced("\nsha256", "\r\nsha256"), &t, &f, kSigBadLine},
      {"fields swapped", replaced("size: ", "sise: "), &t, &f, kSigBadField},
      {"leading zero", replaced("size: ", "size: 0"), &t, &f, kSigBadValue},
      {"upper-case hash", replaced(hash, std::string(64, 'A')), &t, &f, kSigBadValue},
      {"short hash", replaced(hash, hash.substr(2)), &t, &f, kSigBadValue},
      {"decimal version", replaced("0x00170000", "1507328"), &t, &f, kSigBadValue},
      {"format too big", replaced("format: 21", "format: 256"), &t, &f, kSigBadValue},
      {"bad time", replaced("T06:", " 06:"), &t, &f, kSigBadValue},
      {"blank before value", replaced("size: ", "size:  "), &t, &f, kSigBadValue},
  };
  for (const Case& c : cases) {
    const PublicKey* signer = nullptr;
    EXPECT_EQ(signature_check(*c.trust, c.text, *c.facts, &signer), c.want)
        << c.what << ": " << sig_result_text(signature_check(*c.trust, c.text, *c.facts, &signer));
    if (c.want == kSigOk) {
      ASSERT_NE(signer, nullptr);
      EXPECT_EQ(signer->name, "rel");
    }
  }
  for (int r = 0; r < kSigResultCount; ++r)
    EXPECT_STRNE(sig_result_text(SigResult(r)), "unknown") << r;
}

TEST(Trust, KeysCommentsAndRefusals) {
  SecretKey a = make_key("a"), b = make_key("b");
  std::string la = public_key_line(a.pub), lb = public_key_line(b.pub);
  struct Case {
    std::string text;
    size_t keys;  // 0: refused
    const char* why;
  } cases[] = {
      {la + "\n", 1, ""},
      {"# line 3\n\n  # indented\n" + la + "\r\n" + lb, 2, ""},
      {"", 0, "no key in it"},
      {"# only a comment\n\n", 0, "no key in it"},
      {la + "\nnot a key\n", 0, "line 2 is not a key line (ed25519 BASE64 NAME)"},
      {la + " # trailing\n", 0, "line 1 is not a key line (ed25519 BASE64 NAME)"},
  };
  for (const Case& c : cases) {
    Trust t;
    std::string why;
    EXPECT_EQ(trust_parse(c.text, &t, &why), c.keys > 0) << c.text;
    if (c.keys) EXPECT_EQ(t.keys.size(), c.keys);
    else EXPECT_EQ(why, c.why);
  }
}

}  // namespace
