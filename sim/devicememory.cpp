#include "devicememory.h"

#include <QStringList>

namespace sim
{

std::optional<QVector<MemoryPreset>> parsePresets(const QString &text, QString *error)
{
    QVector<MemoryPreset> presets;
    const QStringList parts = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : parts) {
        const QString part = raw.trimmed();
        const int colon = part.indexOf(QLatin1Char(':'));
        bool ok = false;
        const uint address = colon > 0 ? part.left(colon).trimmed().toUInt(&ok, 16) : 0;
        if (!ok || address > 0xFFFF) {
            *error = QStringLiteral("\"%1\" is not ADDRESS:BYTES in hexadecimal").arg(part);
            return std::nullopt;
        }
        MemoryPreset p;
        p.address = uint16_t(address);
        const QStringList bytes = part.mid(colon + 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (const QString &b : bytes) {
            const uint v = b.toUInt(&ok, 16);
            if (!ok || v > 0xFF) {
                *error = QStringLiteral("\"%1\" is not a hexadecimal byte").arg(b);
                return std::nullopt;
            }
            p.bytes.append(char(v));
        }
        if (p.bytes.isEmpty()) {
            *error = QStringLiteral("\"%1\" gives no bytes").arg(part);
            return std::nullopt;
        }
        presets.append(p);
    }
    return presets;
}

DeviceMemory::DeviceMemory() : m_eeprom(EepromSize, char(0xFF)), m_ram(RamSize, 0) {}

std::array<uint8_t, DeviceMemory::ReadSize> DeviceMemory::read(bool ram, uint16_t address) const
{
    const QByteArray &area = ram ? m_ram : m_eeprom;
    std::array<uint8_t, ReadSize> bytes;
    for (int i = 0; i < ReadSize; ++i) {
        const int at = address + i;
        bytes[size_t(i)] = at < area.size() ? uint8_t(area[at]) : 0xFF;
    }
    return bytes;
}

bool DeviceMemory::write(bool ram, uint16_t address, uint8_t value)
{
    QByteArray &area = ram ? m_ram : m_eeprom;
    if (address >= area.size())
        return false;
    area[address] = char(value);
    return true;
}

void DeviceMemory::apply(bool ram, const QVector<MemoryPreset> &presets)
{
    for (const MemoryPreset &p : presets)
        for (int i = 0; i < p.bytes.size() && p.address + i <= 0xFFFF; ++i)
            write(ram, uint16_t(p.address + i), uint8_t(p.bytes[i]));
}

} // namespace sim
