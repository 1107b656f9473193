#include "image/image_buffer.h"

// Static storage: zero at start, and no allocation can fail mid-run.
uint8_t g_image_buffer[kImageBufferSize];
