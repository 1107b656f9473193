// Release signatures: Ed25519 keys (over libgcrypt), the manifest a signer
// writes beside a PAD file (FILE.pad.sig), the trust file of the public
// keys a line accepts, and the check of a file against its manifest.
//
// A manifest is text, one "name: value" line each, in this order:
//   size: 1234                      the whole file's size in bytes
//   sha256: <64 hex digits>         of the whole file
//   format: 21                      the format code
//   version: 0x00170000             the version word
//   key: <32 hex digits>            the signing key's id
//   signed: 2026-12-09T06:21:11Z    the signing time, UTC
//   signature: <base64>             Ed25519 over exactly the lines above
// Every value has one spelling only, so no changed byte still parses to
// the same manifest. No expiry: a signature never locks a box out.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/sha256.h"

constexpr size_t kKeySize = 32;        // an Ed25519 public key or secret seed
constexpr size_t kSignatureSize = 64;  // an Ed25519 signature
constexpr size_t kKeyIdSize = 16;      // the fingerprint: SHA-256 of the public key, cut
constexpr size_t kMaxManifest = 1024;  // longer is not one of ours
constexpr size_t kMaxKeyName = 64;

// `n` bytes as lower-case hex digits.
std::string hex_text(const uint8_t* p, size_t n);

struct PublicKey {
  uint8_t key[kKeySize];
  std::string name;  // printable, no blanks
};

struct SecretKey {
  uint8_t seed[kKeySize];
  PublicKey pub;
};

// A new key pair named `name`. False when libgcrypt fails.
bool key_generate(const std::string& name, SecretKey* out);

// The key's id: the first kKeyIdSize bytes of SHA-256 of the public key, as
// lower-case hex.
std::string key_id(const PublicKey& k);

// True for a key name: 1 to kMaxKeyName printable ASCII bytes, no blank.
bool key_name_valid(const std::string& name);

// "ed25519 BASE64 NAME", no line end; and its parser (blanks around and a
// line end are allowed). False for anything else.
std::string public_key_line(const PublicKey& k);
bool parse_public_key_line(const std::string& line, PublicKey* out);

// The secret key file's text, "ed25519-secret BASE64 NAME\n" (seed and
// public key), and its parser.
std::string secret_key_text(const SecretKey& k);
bool parse_secret_key_text(const std::string& text, SecretKey* out);

// What a signed file is, as the signer saw it and the checker sees it.
struct FileFacts {
  uint64_t size;
  uint8_t sha256[kSha256Bytes];
  uint8_t format;
  uint32_t version;
};

// The outcome of reading or checking a manifest. 0 is a good one; every
// other value names why the file is refused.
enum SigResult {
  kSigOk = 0,
  kSigMissing,       // no signature file
  kSigUnreadable,    // it exists but cannot be read
  kSigEmpty,         // nothing in it
  kSigTooLong,       // over kMaxManifest
  kSigBadLine,       // a line that is not "name: value\n"
  kSigBadField,      // a field missing, unknown or out of order
  kSigBadValue,      // a value not in its one spelling
  kSigTrailing,      // anything after the signature line
  kSigUnknownKey,    // signed by a key the trust file does not hold
  kSigBadSignature,  // the signature is not the key's over these lines
  kSigSizeMismatch,  // a good manifest, but of another file
  kSigHashMismatch,
  kSigFormatMismatch,
  kSigVersionMismatch,
  kSigResultCount
};

// A short text for `r` ("ok", "no signature file", "signature does not
// match"...), the one records and messages give.
const char* sig_result_text(SigResult r);

struct Manifest {
  FileFacts facts;
  std::string key_id;     // 2 * kKeyIdSize hex digits
  std::string signed_at;  // YYYY-MM-DDTHH:MM:SSZ
  uint8_t signature[kSignatureSize];
  size_t signed_length;  // bytes of the text the signature covers
};

// The six lines the signature covers, each ended by '\n'. `signed_at` must
// have the manifest's spelling.
std::string manifest_body(const FileFacts& f, const std::string& key_id,
                          const std::string& signed_at);

// The whole manifest: `facts` signed now-as-given by `k`. Empty when
// libgcrypt fails.
std::string manifest_sign(const FileFacts& facts, const std::string& signed_at, const SecretKey& k);

// Reads a manifest strictly. kSigOk fills `out`; otherwise the reason.
SigResult manifest_parse(const std::string& text, Manifest* out);

// The keys a line trusts.
struct Trust {
  std::vector<PublicKey> keys;
};

// A trust file's text: public key lines, blank lines and '#' comments.
// False with a reason in `why` for a line that is neither, or no key at
// all (trusting nothing would refuse every file, or tempt a fallback).
bool trust_parse(const std::string& text, Trust* out, std::string* why);
// The same from a file; `why` then names the file.
bool trust_load(const char* path, Trust* out, std::string* why);

// Reads the signature file at `path` into `text`. kSigOk, or kSigMissing,
// kSigUnreadable, kSigTooLong.
SigResult signature_read(const char* path, std::string* text);

// Checks manifest `text` against the file `facts` describe: parsed, its
// key trusted, its signature the key's, and naming exactly this file.
// kSigOk sets `*signer` to the trusted key; otherwise the first reason.
SigResult signature_check(const Trust& t, const std::string& text, const FileFacts& facts,
                          const PublicKey** signer);

// The facts of the PAD file held in `bytes` (its size, SHA-256, format
// code and version word; the format and version from its header, zero when
// it is shorter than one).
FileFacts file_facts(const uint8_t* bytes, size_t size);

// The outcome of checking one PAD file on disk against a signature file.
struct FileVerdict {
  enum Kind {
    kSigned,   // accepted and its signature good: `signer`
    kBadSig,   // accepted, but `sig` says why it is not signed
    kRefused,  // a file the tool would refuse: `why`
  } kind;
  SigResult sig;
  const PublicKey* signer;  // into the trust given, for kSigned
  std::string why;
  FileFacts facts;  // of the file, for kSigned and kBadSig
};

// Checks `path` as the tool's file check does (without its messages) and,
// with `trust`, its signature at `sig_path` against the bytes as read. With
// `trust` null only the file check runs (kSigned, no signer, when good).
FileVerdict verify_pad_file(const char* path, const char* sig_path, const Trust* trust);
