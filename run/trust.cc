#include "run/trust.h"

#include <cstdio>
#include <string>

#include "core/exit.h"
#include "core/report.h"
#include "image/image_buffer.h"
#include "image/pad.h"
#include "image/signature.h"
#include "run/attempt.h"

namespace {

bool g_on = false;
Trust g_trust;

// The outcome into the record, and a refusal onto the console.
bool settle(const char* what, SigResult r, const PublicKey* signer) {
  if (r == kSigOk) {
    attempt_signature("ok", signer->name.c_str());
    std::printf("Signature OK (key %s)\n", signer->name.c_str());
    return true;
  }
  attempt_signature(sig_result_text(r), nullptr);
  std::string line = std::string("Signature check of ") + what + " failed: " + sig_result_text(r);
  report_failure_text(stderr, kNoCode, line.c_str(), line.c_str());
  return false;
}

}  // namespace

void trust_setup(const RunSettings& s) {
  if (!s.trust_path) return;
  std::string why;
  if (!trust_load(s.trust_path, &g_trust, &why)) {
    std::string line = std::string("Trust file ") + why + "; nothing is loaded";
    report_failure_text(stderr, kNoCode, line.c_str(), line.c_str());
    exit_run(1);
  }
  g_on = true;
  pad_take_sha256(true);
}

bool trust_on() { return g_on; }

void trust_check_file(const RunSettings& s) {
  if (!g_on) return;
  FileFacts facts = {s.pad_size, {}, s.format_byte, s.version_word};
  SigResult r = kSigUnreadable;
  const PublicKey* signer = nullptr;
  std::string sig = s.signature_path ? s.signature_path : std::string(s.pad_path) + ".sig";
  if (pad_accepted_sha256(facts.sha256)) {
    std::string text;
    r = signature_read(sig.c_str(), &text);
    if (r == kSigOk) r = signature_check(g_trust, text, facts, &signer);
  }
  if (!settle(s.pad_path, r, signer)) exit_run(1);
}

bool trust_check_buffer(uint32_t size, const std::string& manifest) {
  FileFacts facts = file_facts(g_image_buffer, size);
  const PublicKey* signer = nullptr;
  SigResult r = manifest.empty() ? kSigMissing : signature_check(g_trust, manifest, facts, &signer);
  return settle("the server's software", r, signer);
}
