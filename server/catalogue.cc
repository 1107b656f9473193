#include "server/catalogue.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "image/bootloader_table.h"
#include "image/image_buffer.h"
#include "image/pad.h"

namespace {

const char* const kChannelNames[kChannels] = {"alpha", "beta", "released", "development"};

// The names in a directory, sorted, without "." and "..": the check's
// report and the collision message come out the same on every run. Names
// starting with a dot are skipped too: a sync tool's temporary files.
bool list_dir(const std::string& path, std::vector<std::string>* names, int* err) {
  DIR* d = opendir(path.c_str());
  if (d == nullptr) {
    *err = errno;
    return false;
  }
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names->push_back(e->d_name);
  }
  closedir(d);
  std::sort(names->begin(), names->end());
  return true;
}

bool is_dir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void leave_out(Catalogue* c, const std::string& rel, const std::string& why) {
  c->left_out.push_back(rel + ": " + why);
}

// Refuses the catalogue for an error of the system met at `rel`: the files
// are not at fault, and serving what was read so far would drop the rest.
void refuse(Catalogue* c, const std::string& what, const std::string& rel, int err) {
  if (c->refused.empty()) c->refused = what + " " + c->dir + "/" + rel + ": " + std::strerror(err);
}

// The error of the first read of the file's `size` bytes through `fd` that
// fails, or 0 when all of them read.
int read_error(int fd, off_t size) {
  static char buf[65536];
  for (off_t at = 0; at < size;) {
    ssize_t n = pread(fd, buf, sizeof buf, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) break;
    at += n;
  }
  return 0;
}

enum class FileCheck { kPassed, kLeftOut, kRefused };

// Opens and checks one file; fills `sw` (fd open) when it passes, else
// closes everything and notes why: left out for a fault of the file, the
// catalogue refused for an error of the system.
FileCheck check_file(Catalogue* c, const std::string& rel, Software* sw, uint32_t* version_word) {
  std::string full = c->dir + "/" + rel;
  // Non-blocking so that a FIFO placed in the catalogue cannot hang the
  // load; a regular file reads the same either way.
  int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    // Renamed away since the folder was read: a sync under way.
    if (errno == ENOENT) {
      leave_out(c, rel, "gone before it could be opened");
      return FileCheck::kLeftOut;
    }
    refuse(c, "cannot open", rel, errno);
    return FileCheck::kRefused;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    leave_out(c, rel, "not a regular file");
    return FileCheck::kLeftOut;
  }
  if (st.st_size > static_cast<off_t>(kImageBufferSize)) {
    close(fd);
    leave_out(c, rel,
              std::to_string(st.st_size) + " bytes do not fit the tool's image buffer (" +
                  std::to_string(kImageBufferSize) + " bytes)");
    return FileCheck::kLeftOut;
  }
  // The check reads through this very handle's file, not the name again: a
  // file replaced in between cannot be checked in place of the one served.
  char via[64];
  std::snprintf(via, sizeof via, "/proc/self/fd/%d", fd);
  // The check opens it once more and would call a file it cannot open
  // damaged: the descriptor it needs is tried first.
  int probe = open(via, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (probe < 0) {
    int err = errno;
    close(fd);
    refuse(c, "cannot open", rel, err);
    return FileCheck::kRefused;
  }
  close(probe);
  uint8_t format = 0;
  uint32_t checksum = 0;
  bool too_big = false;
  pad_take_sha256(true);
  uint32_t size = pad_verify(via, &format, version_word, &checksum, &too_big);
  pad_take_sha256(false);
  // Grown past the buffer since the size test above: left out like any
  // other file that does not fit, never the end of the server.
  if (too_big) {
    close(fd);
    leave_out(c, rel, "grew past the tool's image buffer while it was checked");
    return FileCheck::kLeftOut;
  }
  if (size == 0) {
    int err = read_error(fd, st.st_size);
    close(fd);
    if (err != 0) {
      refuse(c, "cannot read", rel, err);
      return FileCheck::kRefused;
    }
    leave_out(c, rel, "fails the PAD check (length field or checksum)");
    return FileCheck::kLeftOut;
  }
  if (!is_known_format(format)) {
    close(fd);
    leave_out(c, rel, "format code " + std::to_string(format) + " is not one the tool knows");
    return FileCheck::kLeftOut;
  }
  struct stat after;
  if (fstat(fd, &after) != 0 || after.st_size != static_cast<off_t>(size) ||
      after.st_mtim.tv_sec != st.st_mtim.tv_sec || after.st_mtim.tv_nsec != st.st_mtim.tv_nsec) {
    close(fd);
    leave_out(c, rel, "changed while it was checked");
    return FileCheck::kLeftOut;
  }
  FileFacts facts = {size, {}, format, *version_word};
  pad_accepted_sha256(facts.sha256);
  std::string manifest;
  SigResult sig = signature_read((full + ".sig").c_str(), &manifest);
  if (sig != kSigOk) manifest.clear();
  if (c->trust) {
    const PublicKey* signer = nullptr;
    if (sig == kSigOk) sig = signature_check(*c->trust, manifest, facts, &signer);
    if (sig != kSigOk) {
      close(fd);
      leave_out(c, rel, std::string("signature: ") + sig_result_text(sig));
      return FileCheck::kLeftOut;
    }
    sw->signer = signer->name;
  }
  sw->sha256 = hex_text(facts.sha256, kSha256Bytes);
  sw->manifest = manifest;
  sw->path = rel;
  sw->size = size;
  sw->checksum = checksum;
  sw->fd = fd;
  sw->seen = after;
  return FileCheck::kPassed;
}

// One bootloader folder `major`.`minor`: every file checked, the highest
// that passes kept. A file built for another bootloader is left out: the
// box would be sent software that is not its own.
const Software* load_folder(Catalogue* c, const std::string& rel, unsigned major, unsigned minor) {
  std::vector<std::string> names;
  int err = 0;
  if (!list_dir(c->dir + "/" + rel, &names, &err)) {
    refuse(c, "cannot read", rel, err);
    return nullptr;
  }
  std::unique_ptr<Software> best;
  for (const std::string& name : names) {
    std::string file = rel + "/" + name;
    // A signature beside its file (or one update-sign is writing).
    auto ends = [&](const std::string& tail) {
      return name.size() > tail.size() &&
             name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (ends(".pad.sig") || ends(".pad.sig.part")) continue;
    unsigned v[3];
    if (!parse_dotted(name, 3, 255, ".pad", v)) {
      leave_out(c, file, "not a software name <a>.<b>.<c>.pad (each 0..255)");
      continue;
    }
    if (v[0] == 0 && v[1] == 0 && v[2] == 0) {
      // The query's answer 0.0.0 says "nothing for this box".
      leave_out(c, file, "version 0.0.0 would read as no software");
      continue;
    }
    auto sw = std::make_unique<Software>();
    for (int i = 0; i < 3; ++i) sw->version[i] = static_cast<uint8_t>(v[i]);
    uint32_t word = 0;
    FileCheck r = check_file(c, file, sw.get(), &word);
    if (r == FileCheck::kRefused) break;
    if (r == FileCheck::kLeftOut) continue;
    if (word != (major << 16 | minor)) {
      close(sw->fd);
      leave_out(c, file,
                "its version word is bootloader " + std::to_string(word >> 16) + "." +
                    std::to_string(word & 0xFFFF) + ", not its folder's " + std::to_string(major) +
                    "." + std::to_string(minor));
      continue;
    }
    if (!best || std::lexicographical_compare(best->version, best->version + 3, sw->version,
                                              sw->version + 3)) {
      if (best) close(best->fd);
      best = std::move(sw);
    } else {
      close(sw->fd);
    }
  }
  if (best && !c->refused.empty()) close(best->fd);
  if (!best || !c->refused.empty()) return nullptr;
  c->software.push_back(std::move(best));
  return c->software.back().get();
}

}  // namespace

Catalogue::~Catalogue() {
  for (auto& sw : software) close(sw->fd);
}

const char* channel_name(int channel) {
  return channel >= 0 && channel < kChannels ? kChannelNames[channel] : nullptr;
}

int channel_of(const char* text) {
  for (int i = 0; i < kChannels; ++i) {
    if (std::strcmp(text, kChannelNames[i]) == 0) return i;
  }
  if (text[0] >= '0' && text[0] < '0' + kChannels && text[1] == '\0') return text[0] - '0';
  return -1;
}

bool parse_dotted(const std::string& text, int count, unsigned limit, const char* suffix,
                  unsigned* out) {
  size_t at = 0;
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    size_t start = at;
    unsigned long value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 6) {
      value = value * 10 + static_cast<unsigned>(text[at] - '0');
      ++at;
    }
    size_t digits = at - start;
    if (digits == 0 || (digits > 1 && text[start] == '0') || value > limit) return false;
    out[i] = static_cast<unsigned>(value);
  }
  return text.compare(at, std::string::npos, suffix) == 0;
}

std::string version_text(const uint8_t version[3]) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u", version[0], version[1], version[2]);
  return buf;
}

std::shared_ptr<const Catalogue> catalogue_load(const std::string& dir, const Trust* trust) {
  auto c = std::make_shared<Catalogue>();
  c->dir = dir;
  c->trust = trust;
  std::vector<std::string> top;
  int err = 0;
  if (!list_dir(dir, &top, &err)) {
    c->refused = "cannot read the catalogue " + dir + ": " + std::strerror(err);
    return c;
  }
  for (const std::string& name : top) {
    bool channel =
        std::find_if(std::begin(kChannelNames), std::end(kChannelNames),
                     [&](const char* n) { return name == n; }) != std::end(kChannelNames);
    if (!channel || !is_dir(dir + "/" + name))
      leave_out(c.get(), name, "not a channel folder (alpha, beta, released, development)");
  }
  for (int channel = 0; channel < kChannels; ++channel) {
    std::string chan = kChannelNames[channel];
    if (!is_dir(dir + "/" + chan)) continue;
    std::vector<std::string> folders;
    if (!list_dir(dir + "/" + chan, &folders, &err)) {
      c->refused = "cannot read " + dir + "/" + chan + ": " + std::strerror(err);
      return c;
    }
    for (const std::string& folder : folders) {
      std::string rel = chan + "/" + folder;
      unsigned v[2];
      if (!parse_dotted(folder, 2, 65535, "", v) || !is_dir(dir + "/" + rel)) {
        leave_out(c.get(), rel, "not a bootloader folder <major>.<minor> (each 0..65535)");
        continue;
      }
      uint32_t key = static_cast<uint32_t>(channel) << 16 | (v[0] & 0xFF) << 8 | (v[1] & 0xFF);
      auto seen = c->entries.find(key);
      if (seen != c->entries.end()) {
        // The box sends only the low 8 bits of each: it could not be told
        // which folder is its own.
        char low[16];
        std::snprintf(low, sizeof low, "%u.%u", v[0] & 0xFF, v[1] & 0xFF);
        c->refused = "bootloader folders " + chan + "/" + seen->second.folder + " and " + rel +
                     " meet in the low 8 bits the box sends (" + low + ")";
        return c;
      }
      c->entries[key] = Entry{folder, load_folder(c.get(), rel, v[0], v[1])};
      if (!c->refused.empty()) return c;
    }
  }
  return c;
}

const Software* catalogue_find(const Catalogue& c, int channel, uint8_t major, uint8_t minor) {
  if (channel < 0 || channel >= kChannels) return nullptr;
  auto it = c.entries.find(static_cast<uint32_t>(channel) << 16 | major << 8 | minor);
  return it == c.entries.end() ? nullptr : it->second.software;
}
