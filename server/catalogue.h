// The catalogue: the software on disk by channel and bootloader version,
// checked file by file, and the one answer each box gets from it.
//
// Layout: DIR/<channel>/<major>.<minor>/<a>.<b>.<c>.pad. Of the files that
// pass the tool's own PAD check and whose version word is their folder's
// bootloader version, the highest version in a folder is served.
// A catalogue is built whole and never changed afterwards: a reload builds
// a new one beside it.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "image/signature.h"

constexpr int kChannels = 4;

// "alpha", "beta", "released", "development" for 0..3; nullptr otherwise.
const char* channel_name(int channel);

// The channel of a name or of its number ("beta" or "1"). Returns 0..3, or
// -1 for anything else.
int channel_of(const char* text);

// Parses `count` decimal numbers separated by dots, each at most `limit`,
// written without leading zeros (so one version has one name), followed by
// exactly `suffix`. Returns true and fills `out` when the whole text is
// such a name.
bool parse_dotted(const std::string& text, int count, unsigned limit, const char* suffix,
                  unsigned* out);

struct Software {
  std::string path;  // relative to the catalogue's directory
  uint8_t version[3];
  uint32_t size;         // bytes sent after the size: the whole PAD file
  uint32_t checksum;     // as stored at the PAD file's end
  int fd;                // the handle it was checked through and is read from
  struct stat seen;      // that handle's state then, to notice a later rewrite
  std::string sha256;    // of the whole file, hex
  std::string manifest;  // its .sig beside it as read ("" when none): the 'S' answer
  std::string signer;    // the trusted key's name; "" when not checked or unsigned
};

// A software's folder under one channel, as the box reaches it.
struct Entry {
  std::string folder;        // "<major>.<minor>" as on disk
  const Software* software;  // nullptr: no file in it passed
};

struct Catalogue {
  std::string dir;
  // By channel << 16 | low 8 bits of major << 8 | low 8 bits of minor:
  // the key the box's three bytes give.
  std::map<uint32_t, Entry> entries;
  std::vector<std::unique_ptr<Software>> software;
  // Files and names left out, one line each with the reason. The catalogue
  // serves what passed all the same.
  std::vector<std::string> left_out;
  // Non-empty when the catalogue as a whole is refused (an error of the
  // system while reading it, such as a file that cannot be opened or too
  // many open descriptors, or two bootloader folders the box cannot tell
  // apart): it must not be served. Says why, with the system's reason.
  std::string refused;
  // With a trust file only files that a trusted key signed are served;
  // the others are left out with the reason. Read during the load only.
  const Trust* trust = nullptr;

  Catalogue() = default;
  Catalogue(const Catalogue&) = delete;
  Catalogue& operator=(const Catalogue&) = delete;
  ~Catalogue();
};

// Builds the catalogue of `dir`, reading and checking every file.
// With `trust`, only validly signed files are served.
std::shared_ptr<const Catalogue> catalogue_load(const std::string& dir,
                                                const Trust* trust = nullptr);

// The software one box gets: `major` and `minor` as the box sends them (the
// low 8 bits). Returns nullptr when there is none, also for a channel
// outside 0..3.
const Software* catalogue_find(const Catalogue& c, int channel, uint8_t major, uint8_t minor);

// "a.b.c" of a software's version.
std::string version_text(const uint8_t version[3]);
