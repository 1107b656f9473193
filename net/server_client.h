// The update server client.
#pragma once
#include <cstdint>

#include "platform/net.h"
#include "platform/serial.h"

// Greets the server and queries or downloads software for the box whose
// bootloader is `major`.`minor`. A query, no software or a failure ends the
// run; a download returns with the software in the image buffer and
// g_settings updated (image_from_server, pad_path, pad_size, version_word).
// `port` is the open COM port of the box (filler block, re-acquisition).
void server_exchange(plat_socket s, plat_port port, uint16_t* major,
                     uint16_t* minor);
