#include "tools/netsim/box.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

void box_identity(const Config& o, Conn* c) {
  note(c->run, "IDENTITY");
  // The tool reads its PAD file again after this exchange: a file gone by
  // then shows how it copes with a failed reload.
  if (!o.unlink_path.empty() && unlink(o.unlink_path.c_str()) == 0)
    note(c->run, "UNLINKED " + o.unlink_path);
  // ... and a file rebuilt by then, how it tells the new one from the one
  // it checked.
  if (!o.replace_path.empty() && rename(o.replacement.c_str(), o.replace_path.c_str()) == 0)
    note(c->run, "REPLACED " + o.replace_path);
  std::string rec;
  rec.push_back(0x01);
  rec.append(reinterpret_cast<const char*>(o.prefix), 2);
  rec.push_back(static_cast<char>(o.major));
  rec.push_back(static_cast<char>(o.minor));
  rec.append(reinterpret_cast<const char*>(o.extra), 3);
  if (o.text_length >= 0) {
    rec.append(static_cast<size_t>(o.text_length), 'a');
  } else {
    rec.append(o.text);
    rec.push_back('\0');
  }
  if (o.close_at == CloseAt::kIdentity) {
    // Default: the acknowledge, the prefix and box major, then nothing.
    size_t k = o.close_count >= 0 ? static_cast<size_t>(o.close_count) : 4;
    return scripted_close(c, rec.data(), rec.size(), k, "IDENTITY");
  }
  if (!put(c, rec.data(), rec.size())) {
    note(c->run, "IDENTITY SEND FAILED");
    return;
  }
  uint8_t ack;
  if (!get_byte(c, &ack)) note(c->run, "IDENTITY ACK MISSING");
  else if (ack != 0x01) note(c->run, "IDENTITY ACK BAD " + hex_byte(ack));
  else note(c->run, "IDENTITY ACK");
  if (o.close_at == CloseAt::kImage && o.close_count < 0 && !c->closed) {
    note(c->run, "RESET BEFORE IMAGE");
    reset(c);
  }
}

// Returns true when the whole image came.
bool box_image(const Config& o, Conn* c) {
  std::string len_bytes;
  if (get_bytes(c, &len_bytes, 4) < 4) {
    note(c->run, "IMAGE LENGTH SHORT");
    return false;
  }
  uint32_t len = 0;
  for (char ch : len_bytes) len = (len << 8) | static_cast<uint8_t>(ch);
  std::string image;
  if (o.close_at == CloseAt::kImage && o.close_count >= 0) {
    // A box that resets in the middle of the image: the peer's send may
    // well have succeeded into its buffers by then.
    get_bytes(c, &image, std::min<size_t>(len, static_cast<size_t>(o.close_count)));
    note(c->run, "RESET IN IMAGE after " + std::to_string(image.size()) + " bytes");
    reset(c);
    return false;
  }
  size_t got = get_bytes(c, &image, len);
  if (!o.image_out.empty()) {
    FILE* f = fopen(o.image_out.c_str(), "wb");
    if (f) {
      fwrite(image.data(), 1, image.size(), f);
      fclose(f);
    }
  }
  if (got < len) {
    note(c->run, "IMAGE SHORT " + std::to_string(got) + " of " + std::to_string(len) + " bytes");
    return false;
  }
  note(c->run, "IMAGE " + std::to_string(len) + " bytes");
  if (o.close_after_image) {
    note(c->run, "CLOSE AFTER IMAGE");
    hang_up(c);
  } else {
    put_byte(c, o.image_reply);
  }
  return true;
}

}  // namespace

ImageResult serve_box(const Config& o, Conn* c) {
  ImageResult image = ImageResult::kNone;
  uint8_t cmd;
  while (!c->closed && get_byte(c, &cmd)) {
    switch (cmd) {
      case 0x01:
        note(c->run, "HELLO");
        if (o.close_at == CloseAt::kHello) scripted_close(c, nullptr, 0, 0, "HELLO");
        else put_byte(c, o.hello_reply);
        break;
      case 0x02: box_identity(o, c); break;
      case 0x09: image = box_image(o, c) ? ImageResult::kComplete : ImageResult::kBrokenOff; break;
      default: note(c->run, "UNKNOWN " + hex_byte(cmd)); break;
    }
  }
  return image;
}
