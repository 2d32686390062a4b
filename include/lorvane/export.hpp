#pragma once

// Symbols of the public API are exported from liblorvane; everything else is
// hidden (the library is built with -fvisibility=hidden).
#define LORVANE_EXPORT __attribute__((visibility("default")))
