// padtool: makes, inspects and checks PAD files for tests and demos.
//
// Written apart from the tool on purpose: tests compare the tool against
// this, so sharing code would only check the tool against itself.
//
// PAD file: payload length L (4 bytes), format code (1), version word (4),
// L payload bytes, 32-bit sum of the payload bytes (4). Big-endian.
// The payload is a run of records: a 48-byte header with the record's
// version word at 16 and its data length D at 32, then D data bytes.
// A record whose byte 17 is 6 is never version-patched.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/bootloader_table.h"
#include "platform/file.h"
#include "platform/start.h"
#include "platform/std_streams.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char kUsage[] =
    "usage (installed as update-padtool):\n"
    "  padtool create OUT --format N --version MAJ.MIN [--payload FILE]\n"
    "         [--random N [--seed S]] [--record DATALEN[:marked][:VERSION]]...\n"
    "         [--bad-checksum] [--extra-byte] [--truncate N] "
    "[--length-field N]\n"
    "  padtool info FILE\n"
    "  padtool verify FILE\n"
    "  padtool patch-expect IN OUT --version MAJ.MIN\n"
    "  padtool formats       the format codes update takes, with their bootloaders\n"
    "Pieces of the payload (--payload, --random, --record) are joined in\n"
    "the order given. VERSION is MAJ.MIN in decimal or a 0x word.\n";

[[noreturn]] void die(const char* what, const char* detail = "") {
  std::fprintf(stderr, "padtool: %s%s\n", what, detail);
  std::exit(2);
}

// A whole number in decimal or 0x hexadecimal, at most `max`.
uint64_t parse_number(const char* text, uint64_t max) {
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 0);
  if (*text == '\0' || *text == '-' || *end != '\0' || errno != 0 || value > max) {
    die("bad number: ", text);
  }
  return value;
}

// "MAJ.MIN" in decimal, or a whole version word as 0x...
uint32_t parse_version(const std::string& text) {
  if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) {
    return static_cast<uint32_t>(parse_number(text.c_str(), 0xFFFFFFFF));
  }
  size_t dot = text.find('.');
  if (dot == std::string::npos) die("version needs MAJ.MIN: ", text.c_str());
  uint32_t major = static_cast<uint32_t>(parse_number(text.substr(0, dot).c_str(), 0xFFFF));
  uint32_t minor = static_cast<uint32_t>(parse_number(text.substr(dot + 1).c_str(), 0xFFFF));
  return (major << 16) | minor;
}

uint32_t get32(const Bytes& b, size_t at) {
  return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) |
         uint32_t{b[at + 3]};
}

void put32(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v >> 24);
  b[at + 1] = static_cast<uint8_t>(v >> 16);
  b[at + 2] = static_cast<uint8_t>(v >> 8);
  b[at + 3] = static_cast<uint8_t>(v);
}

void append32(Bytes& b, uint32_t v) {
  b.resize(b.size() + 4);
  put32(b, b.size() - 4, v);
}

// Deterministic bytes for a seed, the same on every machine.
struct Lcg {
  uint64_t state;
  uint8_t next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint8_t>(state >> 56);
  }
};

bool read_file(const char* path, Bytes* out) {
  std::FILE* f = plat_fopen(path, "rb");
  if (f == nullptr) return false;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    out->insert(out->end(), chunk, chunk + got);
  }
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

void write_file(const char* path, const Bytes& data) {
  std::FILE* f = plat_fopen(path, "wb");
  if (f == nullptr) die("cannot create ", path);
  bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
  if (std::fclose(f) != 0 || !ok) die("cannot write ", path);
}

uint32_t payload_sum(const Bytes& file, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 9; i < 9 + length && i < file.size(); ++i) sum += file[i];
  return sum;
}

// --record DATALEN[:marked][:VERSION]
void append_record(Bytes& payload, const std::string& desc, uint32_t version, Lcg& rng) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t colon = desc.find(':', start);
    parts.push_back(desc.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  uint32_t data_length = static_cast<uint32_t>(parse_number(parts[0].c_str(), 0xFFFFFFF));
  bool marked = false;
  bool own_version = false;
  for (size_t i = 1; i < parts.size(); ++i) {
    if (parts[i] == "marked") {
      marked = true;
    } else {
      version = parse_version(parts[i]);
      own_version = true;
    }
  }
  if (marked && !own_version) version = 0x00060000;

  Bytes header(48);
  // Recognisable filler in the bytes nobody interprets, so a stray write
  // shows up in a comparison.
  for (size_t i = 0; i < header.size(); ++i) {
    header[i] = static_cast<uint8_t>(0xA0 + i);
  }
  put32(header, 16, version);
  put32(header, 32, data_length);
  payload.insert(payload.end(), header.begin(), header.end());
  for (uint32_t i = 0; i < data_length; ++i) payload.push_back(rng.next());
}

int cmd_create(int argc, char** argv) {
  if (argc < 1) die("create needs OUT");
  const char* out = argv[0];
  long format = -1;
  bool have_version = false;
  uint32_t version = 0;
  bool bad_checksum = false;
  bool extra_byte = false;
  long long truncate_to = -1;
  long long length_field = -1;
  uint64_t seed = 1;

  // Pieces are built after all options are read, so --seed and --version
  // may come anywhere.
  struct Piece {
    char kind;  // 'p' file, 'r' random, 'R' record
    std::string arg;
  };
  std::vector<Piece> pieces;
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) die("missing value after ", opt.c_str());
      return argv[++i];
    };
    if (opt == "--format") {
      format = static_cast<long>(parse_number(value(), 255));
    } else if (opt == "--version") {
      version = parse_version(value());
      have_version = true;
    } else if (opt == "--payload") {
      pieces.push_back({'p', value()});
    } else if (opt == "--random") {
      pieces.push_back({'r', value()});
    } else if (opt == "--seed") {
      seed = parse_number(value(), UINT64_MAX);
    } else if (opt == "--record") {
      pieces.push_back({'R', value()});
    } else if (opt == "--bad-checksum") {
      bad_checksum = true;
    } else if (opt == "--extra-byte") {
      extra_byte = true;
    } else if (opt == "--truncate") {
      truncate_to = static_cast<long long>(parse_number(value(), 1ULL << 40));
    } else if (opt == "--length-field") {
      length_field = static_cast<long long>(parse_number(value(), 0xFFFFFFFF));
    } else {
      die("unknown option ", opt.c_str());
    }
  }
  if (format < 0) die("create needs --format");
  if (!have_version) die("create needs --version");

  Lcg rng{seed};
  Bytes payload;
  for (const Piece& p : pieces) {
    if (p.kind == 'p') {
      if (!read_file(p.arg.c_str(), &payload)) die("cannot read ", p.arg.c_str());
    } else if (p.kind == 'r') {
      uint64_t n = parse_number(p.arg.c_str(), 1ULL << 32);
      for (uint64_t k = 0; k < n; ++k) payload.push_back(rng.next());
    } else {
      append_record(payload, p.arg, version, rng);
    }
  }
  if (payload.size() > 0xFFFFFFFFULL) die("payload too long");

  Bytes file;
  append32(file, length_field >= 0 ? static_cast<uint32_t>(length_field)
                                   : static_cast<uint32_t>(payload.size()));
  file.push_back(static_cast<uint8_t>(format));
  append32(file, version);
  file.insert(file.end(), payload.begin(), payload.end());
  uint32_t sum = 0;
  for (uint8_t b : payload) sum += b;
  append32(file, bad_checksum ? sum + 1 : sum);
  if (extra_byte) file.push_back(0);
  if (truncate_to >= 0 && static_cast<size_t>(truncate_to) < file.size()) {
    file.resize(static_cast<size_t>(truncate_to));
  }
  write_file(out, file);
  return 0;
}

// Why the file is not a well-formed PAD file, or nullptr.
const char* defect(const Bytes& f) {
  if (f.empty()) return "empty file";
  if (f.size() < 13) return "shorter than header and checksum";
  uint64_t length = get32(f, 0);
  if (f.size() < length + 13) return "file shorter than payload length + 13";
  if (f.size() > length + 13) return "file longer than payload length + 13";
  if (get32(f, 9 + length) != payload_sum(f, length)) return "bad checksum";
  return nullptr;
}

int cmd_verify(int argc, char** argv) {
  if (argc != 1) die("verify needs FILE");
  Bytes f;
  if (!read_file(argv[0], &f)) {
    std::printf("%s: cannot read\n", argv[0]);
    return 1;
  }
  const char* why = defect(f);
  std::printf("%s: %s\n", argv[0], why ? why : "OK");
  return why ? 1 : 0;
}

int cmd_info(int argc, char** argv) {
  if (argc != 1) die("info needs FILE");
  Bytes f;
  if (!read_file(argv[0], &f)) die("cannot read ", argv[0]);
  std::printf("file size:      %zu\n", f.size());
  if (f.size() < 9) {
    std::printf("header:         incomplete\n");
    return 1;
  }
  uint32_t length = get32(f, 0);
  uint32_t version = get32(f, 5);
  std::printf("payload length: %u\n", length);
  std::printf("format code:    %u (0x%02x)\n", f[4], f[4]);
  std::printf("version word:   0x%08x (%u.%u)\n", version, version >> 16, version & 0xFFFF);
  // Records end where the checksum begins; a header or data length that
  // runs past the file is reported and ends the list.
  uint64_t end = f.size() >= 4 ? f.size() - 4 : 0;
  uint64_t r = 9;
  int index = 0;
  while (r < end) {
    if (r + 48 > end) {
      std::printf("record %d at %llu: header cut off\n", index, static_cast<unsigned long long>(r));
      break;
    }
    uint32_t rv = get32(f, r + 16);
    uint32_t d = get32(f, r + 32);
    std::printf("record %d at %llu: version 0x%08x%s, data length %u%s\n", index,
                static_cast<unsigned long long>(r), rv, f[r + 17] == 6 ? " (marked)" : "", d,
                r + 48 + d > end ? " (past the end)" : "");
    r += 48 + uint64_t{d};
    ++index;
  }
  if (f.size() >= uint64_t{length} + 13) {
    uint32_t stored = get32(f, 9 + uint64_t{length});
    uint32_t computed = payload_sum(f, length);
    std::printf("checksum:       stored 0x%08x computed 0x%08x %s\n", stored, computed,
                stored == computed ? "OK" : "BAD");
  } else {
    std::printf("checksum:       missing\n");
  }
  const char* why = defect(f);
  // A well-formed file is still refused by update when no bootloader in its
  // table takes the format code.
  if (!why && !is_known_format(f[4])) why = "format code unknown to update, which refuses the file";
  std::printf("verdict:        %s\n", why ? why : "OK");
  return 0;
}

int cmd_patch_expect(int argc, char** argv) {
  if (argc != 4 || std::strcmp(argv[2], "--version") != 0) {
    die("patch-expect needs IN OUT --version MAJ.MIN");
  }
  Bytes f;
  if (!read_file(argv[0], &f)) die("cannot read ", argv[0]);
  uint32_t version = parse_version(argv[3]);
  if (f.size() >= 9) put32(f, 5, version);
  uint64_t end = f.size() >= 4 ? f.size() - 4 : 0;
  for (uint64_t r = 9; r < end;) {
    if (r + 48 > f.size()) break;
    uint64_t next = r + 48 + get32(f, r + 32);
    if (next > f.size()) break;
    if (f[r + 17] != 6) put32(f, r + 16, version);
    r = next;
  }
  write_file(argv[1], f);
  return 0;
}

// Read from update's own bootloader table, so the list is what update
// accepts, not what someone copied from it once.
int cmd_formats(int argc, char**) {
  if (argc != 0) die("formats takes no arguments");
  std::printf("code hex   bootloader versions\n");
  for (unsigned code = 0; code < 256; ++code) {
    std::string versions;
    for (size_t i = 0; const BootloaderRow* row = bootloader_row(i); ++i) {
      if (row->format == code) versions += std::string(" ") + row->version;
    }
    if (!versions.empty()) std::printf("%4u 0x%02x %s\n", code, code, versions.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  plat_std_streams_guard();
  plat_start(&argc, &argv);
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string cmd = argv[1];
  if (cmd == "create") return cmd_create(argc - 2, argv + 2);
  if (cmd == "info") return cmd_info(argc - 2, argv + 2);
  if (cmd == "verify") return cmd_verify(argc - 2, argv + 2);
  if (cmd == "patch-expect") return cmd_patch_expect(argc - 2, argv + 2);
  if (cmd == "formats") return cmd_formats(argc - 2, argv + 2);
  std::fputs(kUsage, stderr);
  return 2;
}
