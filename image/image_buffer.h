// The process-wide image buffer: holds the one image being sent, from byte 0.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kImageBufferSize = 8388608;

extern uint8_t g_image_buffer[kImageBufferSize];
