// The update server exchange of a server run: between the box's
// identification and its serial version check.
#pragma once
#include <cstdint>

#include "platform/net.h"
#include "platform/serial.h"

// Greets the server and queries or downloads software for the box whose
// bootloader is `major`.`minor`. A query, no software or a failure ends the
// run; a download returns with the software in the image buffer and
// g_settings updated (image_from_server, pad_path, pad_size, version_word).
// `port` is the open COM port of the box (filler block, re-acquisition).
// Every failure after the greeting sends the goodbye, shuts the link down
// and ends the run with 1 without anything going to the box; a size larger
// than the image buffer is refused with message 102 before any byte of it
// is stored.
void server_exchange(plat_socket s, plat_port port, uint16_t* major, uint16_t* minor);
