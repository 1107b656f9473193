// The box identity reader, the image block's reply and the update server's
// answers (query, size, software) fed from a fake socket with any bytes,
// ending in an orderly close or a reset. Invariants: the identity exchange
// reads at most its 263 bytes and acknowledges only a complete record whose
// text ends within its field, the rest of the field left 0xFF; the image
// block counts as done only on a reply byte or an orderly close; only an
// announced size from 1 to the image buffer's is fetched; the software
// lands byte for byte at the start of the image buffer and nothing after it
// is touched.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "image/image_buffer.h"
#include "net/box_link.h"
#include "net/server_client.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr uint8_t kCanary = 0x5C;
constexpr size_t kWatchedPast = 64;

void start(const uint8_t* data, size_t size, bool reset) {
  g_fake_net = FakeNet();
  g_fake_net.incoming.assign(reinterpret_cast<const char*>(data), size);
  g_fake_net.reset_at_end = reset;
}

void check_identity() {
  BoxIdentity id;
  std::memset(&id, 0x33, sizeof id);
  IdentityRead r = read_box_identity(3, &id);
  const std::string& in = g_fake_net.incoming;
  size_t read = g_fake_net.read_at;
  FUZZ_CHECK(read <= 1 + 2 + 2 + 3 + kIdentityTextSize);
  FUZZ_CHECK(g_fake_net.sent.compare(0, 1, "\x02") == 0);
  if (r == IdentityRead::kRead) {
    FUZZ_CHECK(g_fake_net.sent == std::string("\x02\x01", 2));
    FUZZ_CHECK(static_cast<uint8_t>(in[0]) == 0x01);
    FUZZ_CHECK(id.major == static_cast<uint8_t>(in[3]) && id.minor == static_cast<uint8_t>(in[4]));
    size_t len = read - 8;  // the text with its zero byte
    FUZZ_CHECK(len >= 1 && len <= kIdentityTextSize && id.text[len - 1] == 0);
    FUZZ_CHECK(std::memcmp(id.text, in.data() + 8, len) == 0);
    for (size_t i = len; i < kIdentityTextSize; ++i) FUZZ_CHECK(id.text[i] == 0xFF);
  } else {
    FUZZ_CHECK(g_fake_net.sent == std::string("\x02", 1));
    if (r == IdentityRead::kTextUnbounded) {
      FUZZ_CHECK(read == 8 + kIdentityTextSize);
      FUZZ_CHECK(std::memchr(id.text, 0, kIdentityTextSize) == nullptr);
    }
  }
}

void check_image_reply(bool reset) {
  size_t before = g_fake_net.incoming.size();
  BlockSend r = send_image_block(3, 64);
  FUZZ_CHECK(g_fake_net.sent.size() == 5 + 64);
  bool byte_came = before > 0;
  FUZZ_CHECK(r == (byte_came || !reset ? BlockSend::kDelivered : BlockSend::kBrokeOff));
}

void check_server(const uint8_t* data, size_t size) {
  uint8_t version[3];
  server_query(3, 2, 0x17, 0x00, version);
  FUZZ_CHECK(g_fake_net.sent == std::string("C\x02\x17\x00", 4));
  uint32_t announced = 0;
  int got_size = server_ask_size(3, 2, 0x17, 0x00, &announced);
  FUZZ_CHECK(got_size == 0 || size >= 3 + 4);
  if (!got_size) return;
  // Only a size the image buffer holds is fetched; 0 is nothing new.
  SoftwareSize verdict = software_size_verdict(announced);
  FUZZ_CHECK((verdict == SoftwareSize::kNone) == (announced == 0));
  FUZZ_CHECK((verdict == SoftwareSize::kFits) == (announced >= 1 && announced <= kImageBufferSize));
  if (verdict != SoftwareSize::kFits) return;
  size_t at = g_fake_net.read_at;
  // The bytes that can come are few: the buffer is watched just past them.
  size_t watched = std::min<size_t>(kImageBufferSize, size - at + kWatchedPast);
  std::memset(g_image_buffer, kCanary, watched);
  uint32_t n = receive_software(3, announced);
  FUZZ_CHECK(n <= announced && n == std::min<size_t>(announced, size - at));
  FUZZ_CHECK(std::memcmp(g_image_buffer, data + at, n) == 0);
  for (size_t i = n; i < watched; ++i) FUZZ_CHECK(g_image_buffer[i] == kCanary);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  bool reset = data[0] & 1;
  int which = data[0] >> 1 & 3;
  data++;
  size--;
  start(data, size, reset);
  if (which == 0 || which == 3) check_identity();
  else if (which == 1) check_image_reply(reset);
  else check_server(data, size);
  return 0;
}
