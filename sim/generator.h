#pragma once

#include <array>
#include <cstdint>

// What the simulated devices record: deterministic values from a seed, a channel and the
// sample's time, so the same scenario always records the same memory and a truth file can be
// written without keeping every sample.
namespace sim
{

constexpr int Channels = 8;

// Per sensor type: the channels it records by default, which of them hold 32-bit counters,
// and whether its pages use the accelerometer layout.
struct TypeTraits {
    uint8_t defaultMask = 0x01;
    uint8_t availableMask = 0xFF;
    uint8_t counterMask = 0; // channels 2 and 3 only
    bool accelerometer = false;
};
TypeTraits typeTraits(int sensorType);

// One raw sample: a 16-bit word per channel (counters keep their 32 bits), or X, Y, Z for the
// accelerometer (signed 12-bit) in values[0..2].
struct Sample {
    std::array<int64_t, Channels> values{};
};

class Generator
{
public:
    Generator() = default;
    Generator(uint32_t seed, int sensorType, int64_t epochSeconds);

    // The sample taken at `seconds` (sensor wall clock, seconds since 1970 as if it were UTC);
    // only the channels of `mask` are computed, the others stay 0.
    Sample sample(int64_t seconds, uint8_t mask = 0xFF) const;

private:
    int64_t channelValue(int channel, int64_t seconds) const;

    uint32_t m_seed = 1;
    int m_type = 1;
    TypeTraits m_traits;
    int64_t m_epoch = 0; // counters count from here
};

// A stateless 32-bit mix of its inputs.
uint32_t mix(uint32_t a, uint32_t b, uint32_t c);

} // namespace sim
