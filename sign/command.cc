#include "command.h"

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "image/signature.h"
#include "platform/file.h"

namespace {

const char kUsage[] =
    "usage: update-sign keygen [--name NAME] KEY\n"
    "       update-sign sign --key KEY FILE.pad...\n"
    "       update-sign verify --trust TRUST FILE.pad...\n";

int usage(std::FILE* err) {
  std::fputs(kUsage, err);
  return 2;
}

// The last path component: a key's default name.
std::string base_name(const std::string& path) {
  size_t at = path.find_last_of("/\\");
  return at == std::string::npos ? path : path.substr(at + 1);
}

bool read_text(const char* path, std::string* text) {
  std::FILE* f = plat_open_regular_file(path);
  if (!f) return false;
  char buf[4096];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0 && text->size() < 65536)
    text->append(buf, got);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// Writes `text` to `path` whole or not at all: a half-written signature is
// no signature, and one that is there was written completely.
bool write_whole(const std::string& path, const std::string& text) {
  std::string part = path + ".part";
  std::FILE* f = plat_fopen(part.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fclose(f) == 0 && ok;
  if (ok && std::rename(part.c_str(), path.c_str()) == 0) return true;
  std::remove(part.c_str());
  return false;
}

// Options "--NAME VALUE" or "--NAME=VALUE" first, then the operands.
bool split(int argc, char** argv, int from, const char* name, std::string* value,
           std::vector<std::string>* operands) {
  std::string flag = std::string("--") + name;
  for (int i = from; i < argc; ++i) {
    std::string a = argv[i];
    if (a == flag && i + 1 < argc) *value = argv[++i];
    else if (a.compare(0, flag.size() + 1, flag + "=") == 0) *value = a.substr(flag.size() + 1);
    else if (a == "--") {
      for (++i; i < argc; ++i) operands->push_back(argv[i]);
    } else if (a.size() > 1 && a[0] == '-') return false;
    else operands->push_back(a);
  }
  return true;
}

int keygen(int argc, char** argv, std::FILE* out, std::FILE* err) {
  std::string name;
  std::vector<std::string> ops;
  if (!split(argc, argv, 2, "name", &name, &ops) || ops.size() != 1) return usage(err);
  const std::string& path = ops[0];
  if (name.empty()) name = base_name(path);
  if (!key_name_valid(name)) {
    std::fprintf(err, "update-sign: key name \"%s\": 1 to %zu printable characters, no blank\n",
                 name.c_str(), kMaxKeyName);
    return 2;
  }
  SecretKey k;
  if (!key_generate(name, &k)) {
    std::fprintf(err, "update-sign: no key made: libgcrypt failed\n");
    return 1;
  }
  std::FILE* f = plat_create_private(path.c_str());
  if (!f) {
    std::fprintf(err, "update-sign: %s: exists already or cannot be created; no key written\n",
                 path.c_str());
    return 1;
  }
  std::string secret = secret_key_text(k);
  bool ok = std::fwrite(secret.data(), 1, secret.size(), f) == secret.size();
  ok = std::fclose(f) == 0 && ok;
  // The public half is for everyone to read; it too replaces nothing.
  std::FILE* p = ok ? plat_fopen((path + ".pub").c_str(), "wbx") : nullptr;
  if (p) {
    std::string line = public_key_line(k.pub) + "\n";
    ok = std::fwrite(line.data(), 1, line.size(), p) == line.size();
    ok = std::fclose(p) == 0 && ok;
  } else {
    ok = false;
  }
  if (!ok) {
    std::fprintf(err, "update-sign: %s or %s.pub could not be written\n", path.c_str(),
                 path.c_str());
    return 1;
  }
  std::fprintf(out, "%s: secret key \"%s\" (id %s)\n%s.pub: its public key line\n", path.c_str(),
               name.c_str(), key_id(k.pub).c_str(), path.c_str());
  return 0;
}

std::string now_text() {
  std::time_t t = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
  return text;
}

int sign(int argc, char** argv, std::FILE* out, std::FILE* err) {
  std::string key_path;
  std::vector<std::string> files;
  if (!split(argc, argv, 2, "key", &key_path, &files) || key_path.empty() || files.empty())
    return usage(err);
  std::string text;
  SecretKey k;
  if (!read_text(key_path.c_str(), &text) || !parse_secret_key_text(text, &k)) {
    std::fprintf(err, "update-sign: %s: not a secret key as keygen writes it\n", key_path.c_str());
    return 1;
  }
  // The signature is checked with the key's own public half before it is
  // written: a key file whose halves do not match must not sign anything.
  Trust self;
  self.keys = {k.pub};
  int code = 0;
  for (const std::string& file : files) {
    FileVerdict v = verify_pad_file(file.c_str(), nullptr, nullptr);
    if (v.kind == FileVerdict::kRefused) {
      std::fprintf(err, "%s: not signed: %s\n", file.c_str(), v.why.c_str());
      code = 1;
      continue;
    }
    std::string manifest = manifest_sign(v.facts, now_text(), k);
    const PublicKey* signer = nullptr;
    if (manifest.empty() || signature_check(self, manifest, v.facts, &signer) != kSigOk) {
      std::fprintf(err, "%s: not signed: the key does not make good signatures\n", file.c_str());
      code = 1;
      continue;
    }
    std::string sig = file + ".sig";
    if (!write_whole(sig, manifest)) {
      std::fprintf(err, "%s: not signed: %s cannot be written\n", file.c_str(), sig.c_str());
      code = 1;
      continue;
    }
    std::fprintf(out, "%s: signed (key %s) -> %s\n", file.c_str(), k.pub.name.c_str(), sig.c_str());
  }
  return code;
}

int verify(int argc, char** argv, std::FILE* out, std::FILE* err) {
  std::string trust_path;
  std::vector<std::string> files;
  if (!split(argc, argv, 2, "trust", &trust_path, &files) || trust_path.empty() || files.empty())
    return usage(err);
  Trust t;
  std::string why;
  if (!trust_load(trust_path.c_str(), &t, &why)) {
    std::fprintf(err, "update-sign: trust file %s\n", why.c_str());
    return 1;
  }
  int code = 0;
  for (const std::string& file : files) {
    FileVerdict v = verify_pad_file(file.c_str(), (file + ".sig").c_str(), &t);
    if (v.kind == FileVerdict::kSigned) {
      std::fprintf(out, "%s: ok (key %s)\n", file.c_str(), v.signer->name.c_str());
      continue;
    }
    code = 1;
    if (v.kind == FileVerdict::kRefused) std::fprintf(out, "%s: %s\n", file.c_str(), v.why.c_str());
    else std::fprintf(out, "%s: %s\n", file.c_str(), sig_result_text(v.sig));
  }
  return code;
}

}  // namespace

int sign_command(int argc, char** argv, std::FILE* out, std::FILE* err) {
  if (argc < 2) return usage(err);
  std::string verb = argv[1];
  if (verb == "keygen") return keygen(argc, argv, out, err);
  if (verb == "sign") return sign(argc, argv, out, err);
  if (verb == "verify") return verify(argc, argv, out, err);
  if (verb == "--help" || verb == "-h") {
    std::fputs(kUsage, out);
    return 0;
  }
  return usage(err);
}
