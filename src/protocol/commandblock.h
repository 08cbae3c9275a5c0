#pragma once

#include <array>
#include <cstdint>

namespace command
{

// Every command to a sensor carries a block of this size; what its bytes mean is commandset's.
constexpr int BlockSize = 17;
using Block = std::array<uint8_t, BlockSize>;

} // namespace command
