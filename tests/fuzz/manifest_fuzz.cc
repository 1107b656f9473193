// The signature manifest's parser and the signature check on any bytes,
// and the trust file's parser on the same bytes. Invariants: a manifest
// that parses is spelt exactly as the signer writes it (one spelling per
// manifest, so no changed byte reads the same); nothing but the manifest
// signed here passes the check.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "image/signature.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct Fixed {
  SecretKey key;
  Trust trust;
  FileFacts facts;
  std::string signed_text;
};

const Fixed& fixed() {
  static const Fixed f = [] {
    Fixed x;
    if (!key_generate("fuzz", &x.key)) std::abort();
    x.trust.keys = {x.key.pub};
    const char file[] = "a PAD file";
    x.facts = file_facts(reinterpret_cast<const uint8_t*>(file), sizeof file);
    x.signed_text = manifest_sign(x.facts, "2026-12-09T06:21:11Z", x.key);
    return x;
  }();
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Fixed& f = fixed();
  std::string text(reinterpret_cast<const char*>(data), size);
  Manifest m;
  SigResult r = manifest_parse(text, &m);
  FUZZ_CHECK(r >= kSigOk && r < kSigResultCount);
  if (r == kSigOk) {
    FUZZ_CHECK(m.signed_length <= text.size());
    FUZZ_CHECK(text.compare(0, m.signed_length, manifest_body(m.facts, m.key_id, m.signed_at)) ==
               0);
    FUZZ_CHECK(text.compare(m.signed_length, 11, "signature: ") == 0);
    FUZZ_CHECK(text.size() == m.signed_length + 11 + 88 + 1 && text.back() == '\n');
  }
  const PublicKey* signer = nullptr;
  SigResult c = signature_check(f.trust, text, f.facts, &signer);
  FUZZ_CHECK(c != kSigOk || text == f.signed_text);
  Trust t;
  std::string why;
  if (trust_parse(text, &t, &why)) FUZZ_CHECK(!t.keys.empty());
  else FUZZ_CHECK(!why.empty());
  return 0;
}
