#include "image/signature.h"

#include <gcrypt.h>

#include <cstdio>
#include <cstring>

#include "image/bootloader_table.h"
#include "image/pad.h"
#include "platform/file.h"

namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const uint8_t* p, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = uint32_t{p[i]} << 16;
    if (i + 1 < n) v |= uint32_t{p[i + 1]} << 8;
    if (i + 2 < n) v |= p[i + 2];
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += i + 1 < n ? kBase64[(v >> 6) & 63] : '=';
    out += i + 2 < n ? kBase64[v & 63] : '=';
  }
  return out;
}

// Decodes exactly `n` bytes, and only from their one canonical spelling.
bool unbase64(const std::string& text, uint8_t* out, size_t n) {
  if (text.size() != (n + 2) / 3 * 4) return false;
  std::vector<uint8_t> bytes;
  uint32_t v = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    const char* at = std::strchr(kBase64, c);
    if (!at || c == '\0') return false;
    v = (v << 6) | uint32_t(at - kBase64);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(uint8_t(v >> bits));
    }
  }
  if (bytes.size() != n) return false;
  std::memcpy(out, bytes.data(), n);
  return base64(out, n) == text;
}

bool hex_value(const std::string& text, uint8_t* out, size_t n) {
  if (text.size() != 2 * n) return false;
  for (size_t i = 0; i < 2 * n; ++i) {
    char c = text[i];
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0) return false;
    if (i % 2 == 0) out[i / 2] = uint8_t(d << 4);
    else out[i / 2] |= uint8_t(d);
  }
  return true;
}

// A decimal number in its one spelling (no sign, no leading zero), at most
// `max`.
bool decimal_value(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t d = uint64_t(c - '0');
    if (v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

bool time_spelling(const std::string& t) {
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  if (t.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < t.size(); ++i)
    if (kShape[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != kShape[i]) return false;
  return true;
}

// The trailing bytes of a libgcrypt S-expression's token `name`, right
// aligned into `n` bytes (a number may have lost leading zeros).
bool sexp_bytes(gcry_sexp_t s, const char* name, uint8_t* out, size_t n) {
  gcry_sexp_t tok = gcry_sexp_find_token(s, name, 0);
  if (!tok) return false;
  size_t len = 0;
  const char* data = gcry_sexp_nth_data(tok, 1, &len);
  // An Ed25519 point may come with the 0x40 prefix of its native form.
  if (data && len == n + 1 && uint8_t(data[0]) == 0x40) {
    ++data;
    --len;
  }
  bool ok = data && len <= n;
  if (ok) {
    std::memset(out, 0, n - len);
    std::memcpy(out + n - len, data, len);
  }
  gcry_sexp_release(tok);
  return ok;
}

bool ed25519_sign(const SecretKey& k, const std::string& msg, uint8_t sig[kSignatureSize]) {
  gcrypt_ready();
  gcry_sexp_t key = nullptr, data = nullptr, out = nullptr;
  bool ok = gcry_sexp_build(&key, nullptr,
                            "(private-key (ecc (curve Ed25519) (flags eddsa) (q %b) (d %b)))",
                            int(kKeySize), k.pub.key, int(kKeySize), k.seed) == 0 &&
            gcry_sexp_build(&data, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                            int(msg.size()), msg.data()) == 0 &&
            gcry_pk_sign(&out, data, key) == 0 && sexp_bytes(out, "r", sig, 32) &&
            sexp_bytes(out, "s", sig + 32, 32);
  gcry_sexp_release(key);
  gcry_sexp_release(data);
  gcry_sexp_release(out);
  return ok;
}

bool ed25519_verify(const PublicKey& k, const std::string& msg, const uint8_t sig[kSignatureSize]) {
  gcrypt_ready();
  gcry_sexp_t key = nullptr, data = nullptr, s = nullptr;
  bool ok =
      gcry_sexp_build(&key, nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                      int(kKeySize), k.key) == 0 &&
      gcry_sexp_build(&data, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                      int(msg.size()), msg.data()) == 0 &&
      gcry_sexp_build(&s, nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32, sig, 32, sig + 32) == 0 &&
      gcry_pk_verify(s, data, key) == 0;
  gcry_sexp_release(key);
  gcry_sexp_release(data);
  gcry_sexp_release(s);
  return ok;
}

// Splits "A B C" (blanks or tabs between, around and a line end allowed)
// into exactly `n` words.
bool words(const std::string& line, std::vector<std::string>* out, size_t n) {
  out->clear();
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::strchr(" \t\r\n", line[i])) ++i;
    if (i == line.size()) break;
    size_t start = i;
    while (i < line.size() && !std::strchr(" \t\r\n", line[i])) ++i;
    out->push_back(line.substr(start, i - start));
  }
  return out->size() == n;
}

const char* const kResultTexts[kSigResultCount] = {
    "ok",
    "no signature file",
    "signature file unreadable",
    "signature file empty",
    "signature file too long",
    "malformed manifest line",
    "manifest field missing or out of order",
    "malformed manifest value",
    "data after the signature",
    "key not trusted",
    "signature does not match",
    "size does not match the file",
    "SHA-256 does not match the file",
    "format code does not match the file",
    "version word does not match the file",
};

// The manifest's fields, in their order.
const char* const kFields[] = {"size", "sha256", "format", "version", "key", "signed", "signature"};

}  // namespace

std::string hex_text(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(2 * n, '0');
  for (size_t i = 0; i < n; ++i) {
    text[2 * i] = kDigits[p[i] >> 4];
    text[2 * i + 1] = kDigits[p[i] & 15];
  }
  return text;
}

bool key_generate(const std::string& name, SecretKey* out) {
  gcrypt_ready();
  gcry_sexp_t parms = nullptr, key = nullptr;
  bool ok = gcry_sexp_build(&parms, nullptr, "(genkey (ecc (curve Ed25519) (flags eddsa)))") == 0 &&
            gcry_pk_genkey(&key, parms) == 0 && sexp_bytes(key, "q", out->pub.key, kKeySize) &&
            sexp_bytes(key, "d", out->seed, kKeySize);
  gcry_sexp_release(parms);
  gcry_sexp_release(key);
  out->pub.name = name;
  return ok;
}

std::string key_id(const PublicKey& k) {
  uint8_t d[kSha256Bytes];
  sha256(k.key, kKeySize, d);
  return hex_text(d, kKeyIdSize);
}

bool key_name_valid(const std::string& name) {
  if (name.empty() || name.size() > kMaxKeyName) return false;
  for (unsigned char c : name)
    if (c <= ' ' || c >= 0x7f) return false;
  return true;
}

std::string public_key_line(const PublicKey& k) {
  return "ed25519 " + base64(k.key, kKeySize) + " " + k.name;
}

bool parse_public_key_line(const std::string& line, PublicKey* out) {
  std::vector<std::string> w;
  if (!words(line, &w, 3) || w[0] != "ed25519" || !key_name_valid(w[2])) return false;
  if (!unbase64(w[1], out->key, kKeySize)) return false;
  out->name = w[2];
  return true;
}

std::string secret_key_text(const SecretKey& k) {
  uint8_t both[2 * kKeySize];
  std::memcpy(both, k.seed, kKeySize);
  std::memcpy(both + kKeySize, k.pub.key, kKeySize);
  return "ed25519-secret " + base64(both, sizeof both) + " " + k.pub.name + "\n";
}

bool parse_secret_key_text(const std::string& text, SecretKey* out) {
  std::vector<std::string> w;
  uint8_t both[2 * kKeySize];
  if (!words(text, &w, 3) || w[0] != "ed25519-secret" || !key_name_valid(w[2]) ||
      !unbase64(w[1], both, sizeof both))
    return false;
  std::memcpy(out->seed, both, kKeySize);
  std::memcpy(out->pub.key, both + kKeySize, kKeySize);
  out->pub.name = w[2];
  return true;
}

const char* sig_result_text(SigResult r) {
  return r >= 0 && r < kSigResultCount ? kResultTexts[r] : "unknown";
}

std::string manifest_body(const FileFacts& f, const std::string& id, const std::string& signed_at) {
  char version[16];
  std::snprintf(version, sizeof version, "0x%08x", unsigned(f.version));
  return "size: " + std::to_string(f.size) + "\nsha256: " + hex_text(f.sha256, kSha256Bytes) +
         "\nformat: " + std::to_string(unsigned(f.format)) + "\nversion: " + version +
         "\nkey: " + id + "\nsigned: " + signed_at + "\n";
}

std::string manifest_sign(const FileFacts& facts, const std::string& signed_at,
                          const SecretKey& k) {
  std::string body = manifest_body(facts, key_id(k.pub), signed_at);
  uint8_t sig[kSignatureSize];
  if (!ed25519_sign(k, body, sig)) return "";
  return body + "signature: " + base64(sig, sizeof sig) + "\n";
}

SigResult manifest_parse(const std::string& text, Manifest* out) {
  if (text.empty()) return kSigEmpty;
  if (text.size() > kMaxManifest) return kSigTooLong;
  size_t at = 0;
  for (size_t field = 0; field < sizeof kFields / sizeof kFields[0]; ++field) {
    if (at == text.size()) return kSigBadField;
    size_t end = text.find('\n', at);
    if (end == std::string::npos) return kSigBadLine;
    std::string line = text.substr(at, end - at);
    size_t colon = line.find(": ");
    if (colon == std::string::npos || colon == 0) return kSigBadLine;
    std::string name = line.substr(0, colon), value = line.substr(colon + 2);
    for (unsigned char c : line)
      if (c < ' ' || c >= 0x7f) return kSigBadLine;
    if (name != kFields[field]) return kSigBadField;
    uint64_t n = 0;
    bool ok = true;
    switch (field) {
      case 0:
        ok = decimal_value(value, UINT32_MAX, &n);
        out->facts.size = n;
        break;
      case 1: ok = hex_value(value, out->facts.sha256, kSha256Bytes); break;
      case 2:
        ok = decimal_value(value, 255, &n);
        out->facts.format = uint8_t(n);
        break;
      case 3: {
        uint8_t v[4] = {};
        ok = value.size() == 10 && value.compare(0, 2, "0x") == 0 &&
             hex_value(value.substr(2), v, 4);
        out->facts.version =
            (uint32_t{v[0]} << 24) | (uint32_t{v[1]} << 16) | (uint32_t{v[2]} << 8) | v[3];
        break;
      }
      case 4: {
        uint8_t id[kKeyIdSize];
        ok = hex_value(value, id, kKeyIdSize);
        out->key_id = value;
        break;
      }
      case 5:
        ok = time_spelling(value);
        out->signed_at = value;
        out->signed_length = end + 1;
        break;
      case 6: ok = unbase64(value, out->signature, kSignatureSize); break;
    }
    if (!ok) return kSigBadValue;
    at = end + 1;
  }
  return at == text.size() ? kSigOk : kSigTrailing;
}

bool trust_parse(const std::string& text, Trust* out, std::string* why) {
  out->keys.clear();
  size_t at = 0;
  for (int number = 1; at < text.size(); ++number) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    PublicKey k;
    if (!parse_public_key_line(line, &k)) {
      *why = "line " + std::to_string(number) + " is not a key line (ed25519 BASE64 NAME)";
      return false;
    }
    out->keys.push_back(k);
  }
  if (out->keys.empty()) {
    *why = "no key in it";
    return false;
  }
  return true;
}

bool trust_load(const char* path, Trust* out, std::string* why) {
  std::FILE* f = plat_open_regular_file(path);
  if (!f) {
    *why = std::string(path) + ": cannot be read";
    return false;
  }
  std::string text;
  char buf[4096];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (1u << 20))
    text.append(buf, got);
  std::fclose(f);
  if (!trust_parse(text, out, why)) {
    *why = std::string(path) + ": " + *why;
    return false;
  }
  return true;
}

SigResult signature_read(const char* path, std::string* text) {
  std::FILE* probe = plat_fopen(path, "rb");
  if (!probe) return kSigMissing;
  std::fclose(probe);
  std::FILE* f = plat_open_regular_file(path);
  if (!f) return kSigUnreadable;
  char buf[kMaxManifest + 1];
  size_t got = std::fread(buf, 1, sizeof buf, f);
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return kSigUnreadable;
  if (got > kMaxManifest) return kSigTooLong;
  text->assign(buf, got);
  return kSigOk;
}

SigResult signature_check(const Trust& t, const std::string& text, const FileFacts& facts,
                          const PublicKey** signer) {
  Manifest m;
  SigResult r = manifest_parse(text, &m);
  if (r != kSigOk) return r;
  const PublicKey* key = nullptr;
  for (const PublicKey& k : t.keys)
    if (key_id(k) == m.key_id) key = &k;
  if (!key) return kSigUnknownKey;
  if (!ed25519_verify(*key, text.substr(0, m.signed_length), m.signature)) return kSigBadSignature;
  if (m.facts.size != facts.size) return kSigSizeMismatch;
  if (std::memcmp(m.facts.sha256, facts.sha256, kSha256Bytes) != 0) return kSigHashMismatch;
  if (m.facts.format != facts.format) return kSigFormatMismatch;
  if (m.facts.version != facts.version) return kSigVersionMismatch;
  *signer = key;
  return kSigOk;
}

FileFacts file_facts(const uint8_t* b, size_t size) {
  FileFacts f = {};
  f.size = size;
  sha256(b, size, f.sha256);
  if (size >= 9) {
    f.format = b[4];
    f.version = (uint32_t{b[5]} << 24) | (uint32_t{b[6]} << 16) | (uint32_t{b[7]} << 8) | b[8];
  }
  return f;
}

FileVerdict verify_pad_file(const char* path, const char* sig_path, const Trust* trust) {
  FileVerdict v = {FileVerdict::kRefused, kSigOk, nullptr, "", {}};
  pad_take_sha256(true);
  bool too_big = false;
  uint8_t format = 0;
  uint32_t version = 0;
  uint32_t size = pad_verify(path, &format, &version, nullptr, &too_big);
  pad_take_sha256(false);
  if (size == 0) {
    v.why = too_big ? "too large for the image buffer" : "not a well-formed PAD file";
    return v;
  }
  if (!is_known_format(format)) {
    v.why = "unknown format code " + std::to_string(unsigned(format));
    return v;
  }
  v.facts = {size, {}, format, version};
  pad_accepted_sha256(v.facts.sha256);
  v.kind = FileVerdict::kSigned;
  if (!trust) return v;
  std::string text;
  v.sig = signature_read(sig_path, &text);
  if (v.sig == kSigOk) v.sig = signature_check(*trust, text, v.facts, &v.signer);
  if (v.sig != kSigOk) v.kind = FileVerdict::kBadSig;
  return v;
}
