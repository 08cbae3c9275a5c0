#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <array>
#include <cstdint>
#include <optional>

namespace sim
{

// Bytes a scenario puts into a memory before the device starts: "0101:E5, 0040:12 34" writes
// E5 at 0101, 12 at 0040 and 34 at 0041 (addresses and bytes hexadecimal).
struct MemoryPreset {
    uint16_t address = 0;
    QByteArray bytes;
};
// The presets of `text`; empty optional, and `error` set, when it does not read.
std::optional<QVector<MemoryPreset>> parsePresets(const QString &text, QString *error);

// A device's EEPROM and RAM as its memory commands see them. Separate from the recording ring
// (SensorMemory): a read of one never shows the other.
class DeviceMemory
{
public:
    static constexpr int EepromSize = 0x2008;
    static constexpr int RamSize = 0x0800;
    static constexpr int ReadSize = 8;

    DeviceMemory();

    // Eight bytes from `address`; FF past the end.
    std::array<uint8_t, ReadSize> read(bool ram, uint16_t address) const;
    // False, and nothing written, past the end.
    bool write(bool ram, uint16_t address, uint8_t value);
    uint8_t eepromByte(uint16_t address) const { return read(false, address)[0]; }
    void apply(bool ram, const QVector<MemoryPreset> &presets);
    const QByteArray &eeprom() const { return m_eeprom; }
    const QByteArray &ram() const { return m_ram; }

private:
    QByteArray m_eeprom;
    QByteArray m_ram;
};

} // namespace sim
