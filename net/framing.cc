#include "net/framing.h"

#include "core/exit.h"
#include "image/image_buffer.h"

int send_byte(plat_socket s, uint8_t value) {
  if (plat_tcp_send(s, &value, 1) == 1) return 1;
  exit_if_stopped();
  return 0;
}

int receive_byte(plat_socket s, uint8_t* value) {
  uint8_t b;
  if (plat_tcp_recv(s, &b, 1) != 1) {
    // A receive without a limit ends early only for a stop request, which
    // is no failure of the peer.
    exit_if_stopped();
    return 0;
  }
  *value = b;
  return 1;
}

int receive_byte_or_close(plat_socket s, uint8_t* value) {
  uint8_t b;
  long r = plat_tcp_recv(s, &b, 1);
  if (r < 0) exit_if_stopped();
  if (r < 0) return -1;
  if (r == 0) return 0;
  *value = b;
  return 1;
}

int receive_number(plat_socket s, uint32_t* value) {
  int ok = 1;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    uint8_t b = 0;
    if (!receive_byte(s, &b)) ok = 0;
    v = (v << 8) | b;
  }
  *value = v;
  return ok;
}

int send_acknowledge(plat_socket s) { return send_byte(s, kAcknowledge); }

int receive_acknowledge(plat_socket s) {
  uint8_t b;
  return receive_byte(s, &b) && b == kAcknowledge ? 1 : 0;
}

int send_block(plat_socket s, uint32_t n) {
  if (plat_tcp_send(s, g_image_buffer, n) == static_cast<long>(n)) return 1;
  exit_if_stopped();
  return 0;
}

void shut_down_link(plat_socket s) { plat_tcp_shutdown(s); }
