#include "generator.h"

#include <cmath>

namespace sim
{

uint32_t mix(uint32_t a, uint32_t b, uint32_t c)
{
    // Three rounds of a murmur-style finaliser over the combined inputs.
    uint32_t h =
        a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u ^ (c + 0x165667B1u) * 0xC2B2AE3Du;
    for (int i = 0; i < 3; ++i) {
        h ^= h >> 16;
        h *= 0x85EBCA6Bu;
        h ^= h >> 13;
        h *= 0xC2B2AE35u;
        h ^= h >> 16;
    }
    return h;
}

TypeTraits typeTraits(int sensorType)
{
    TypeTraits t;
    switch (sensorType) {
    case 1: // temperature and humidity
        t.defaultMask = t.availableMask = 0x03;
        break;
    case 2: // four analog inputs
        t.defaultMask = t.availableMask = 0x0F;
        break;
    case 3: // pulse counter: a temperature and two 32-bit counters
        t.defaultMask = t.availableMask = 0x0D;
        t.counterMask = 0x0C;
        break;
    case 4: // power meters: voltage, current, active and apparent energy (32-bit counters)
    case 6:
    case 8:
        t.defaultMask = t.availableMask = 0x0F;
        t.counterMask = 0x0C;
        break;
    case 10: // three axes
        t.defaultMask = t.availableMask = 0x07;
        t.accelerometer = true;
        break;
    case 13: // logger whose channel 0 is shown with an offset
        t.defaultMask = t.availableMask = 0x03;
        break;
    default:
        t.defaultMask = 0x01;
        t.availableMask = 0xFF;
        break;
    }
    return t;
}

Generator::Generator(uint32_t seed, int sensorType, int64_t epochSeconds)
    : m_seed(seed), m_type(sensorType), m_traits(typeTraits(sensorType)), m_epoch(epochSeconds)
{
}

int64_t Generator::channelValue(int channel, int64_t seconds) const
{
    const uint32_t noise = mix(m_seed, uint32_t(channel), uint32_t(seconds));
    const double dayPhase = 2.0 * M_PI * double(seconds % 86400) / 86400.0;
    const double slowPhase = 2.0 * M_PI * double(seconds % 3600) / 3600.0;
    if (m_traits.counterMask & (1u << channel)) {
        // Pulses or energy: 7 a second on average and never fewer than 0, so a sample's low word
        // can only fall when the high word goes up; starting just below 65536 makes that happen
        // early in every scenario.
        const int64_t t = seconds - m_epoch;
        const int64_t base = 65536 - 3000 + int64_t(mix(m_seed, uint32_t(channel), 0) % 1000);
        return base + 7 * t + int64_t(noise % 7) + (channel == 3 ? 1000000 : 0);
    }
    if (m_traits.accelerometer)
        return int64_t(noise % 4001) - 2000; // within 12 signed bits
    const int jitter = int(noise % 41) - 20;
    double v = 0;
    switch (m_type) {
    case 1:
        v = channel == 0 ? 2150 + 400 * std::sin(dayPhase) : 550 + 150 * std::cos(dayPhase);
        break;
    case 2:
        v = 2048 + 1500 * std::sin(slowPhase + channel);
        break;
    case 3:
        v = 1800 + 300 * std::sin(dayPhase); // channel 0
        break;
    case 4:
    case 6:
    case 8:
        // Channels 2 and 3 are the energy counters above; 4 and 5 the powers.
        v = channel == 0   ? 2300 + 30 * std::sin(slowPhase)
            : channel == 1 ? 800 + 600 * std::sin(dayPhase)
                           : 1900 + 1400 * std::sin(dayPhase);
        break;
    case 13:
        v = -300 + 250 * std::sin(dayPhase + channel);
        break;
    default:
        v = 1000 + 500 * std::sin(slowPhase + channel);
        break;
    }
    int64_t value = int64_t(std::lround(v)) + jitter;
    // Channels 4 and 5 are read as unsigned up to 60000, the others as signed 16-bit words
    // (channels 2 and 3 unsigned): keep every value inside what its channel can show.
    if (channel == 2 || channel == 3 || channel == 4 || channel == 5)
        value = std::max<int64_t>(0, std::min<int64_t>(value, 60000));
    else
        value = std::max<int64_t>(-32768, std::min<int64_t>(value, 32767));
    return value;
}

Sample Generator::sample(int64_t seconds, uint8_t mask) const
{
    Sample s;
    if (m_traits.accelerometer)
        mask = 0x07;
    for (int ch = 0; ch < Channels; ++ch)
        if (mask & (1u << ch))
            s.values[size_t(ch)] = channelValue(ch, seconds);
    return s;
}

} // namespace sim
