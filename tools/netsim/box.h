// The box's network update service: answers the tool's hello, identity and
// image requests, with the box's identity and the fault the options stage.
#pragma once
#include "tools/netsim/conn.h"
#include "tools/netsim/options.h"

// What became of the image on one connection (the last one sent there).
enum class ImageResult { kNone, kComplete, kBrokenOff };

// Serves the tool on `c` until it closes or we hang up.
ImageResult serve_box(const Config& o, Conn* c);
