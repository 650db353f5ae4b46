#pragma once
#include <cstdint>
#include <vector>

// The platform's dynamic byte array.
using TBytes = std::vector<uint8_t>;
