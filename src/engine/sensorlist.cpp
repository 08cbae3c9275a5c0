#include "sensorlist.h"

#include "periods.h"

#include <algorithm>

namespace sensorlist
{

std::optional<uint16_t> parseTypedSerialNumber(const QString &text)
{
    bool decimal = false;
    bool hex = false;
    text.toULongLong(&decimal, 10);
    const qulonglong value = text.toULongLong(&hex, 16);
    if (!decimal || !hex || value == 0 || value > 0xFFFF)
        return std::nullopt;
    return static_cast<uint16_t>(value);
}

int insertionIndex(const QVector<uint32_t> &serials, uint32_t serialNumber)
{
    const auto at = std::find_if(serials.begin(), serials.end(),
                                 [serialNumber](uint32_t s) { return s >= serialNumber; });
    return int(at - serials.begin());
}

uint8_t selectedPeriodCode(int selectorIndex, uint8_t reportedCode)
{
    const int code = periods::codeOfItem(selectorIndex);
    return code < 0 ? reportedCode : static_cast<uint8_t>(code);
}

PendingResult markPendingChanges(const actionblock::Choice &choice, const QVector<PendingRow> &rows)
{
    PendingResult r;
    r.marks.resize(rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        const bool known = rows[i].sensorType != 0;
        if (choice.setTime) {
            r.marks[i].setTime = true;
            r.marks[i].change |= known;
        }
        if (choice.clearData) {
            r.marks[i].clear = true;
            r.marks[i].change |= known;
        }
    }
    if (choice.selectChannels) {
        for (int i = 0; i < rows.size(); ++i) {
            if (rows[i].sensorType == 0) {
                r.code = PendingResult::MissingSensorInfo;
                r.row = i;
                return r;
            }
            if (rows[i].selectedMask == 0) {
                r.code = PendingResult::NoChannelSelected;
                r.row = i;
                return r;
            }
            if (rows[i].selectedMask != rows[i].reportedMask)
                r.marks[i].change = true;
        }
    }
    if (choice.changePeriod) {
        for (int i = 0; i < rows.size(); ++i) {
            if (rows[i].sensorType == 0) {
                r.code = PendingResult::MissingSensorInfo;
                r.row = i;
                return r;
            }
            if (rows[i].periodItem != rows[i].reportedPeriodItem)
                r.marks[i].change = true;
        }
    }
    return r;
}

} // namespace sensorlist
