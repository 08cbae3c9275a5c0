#include "sensorlist.h"

#include "periods.h"

#include <algorithm>

namespace sensorlist
{

std::optional<uint16_t> parseTypedSerialNumber(const QString &text)
{
    // Serial numbers are shown as four hexadecimal digits, so that is what the operator types
    // back (a scanner may add blanks around them).
    const QString digits = text.trimmed();
    if (digits.isEmpty() || digits.size() > 4)
        return std::nullopt;
    bool ok = false;
    const uint value = digits.toUInt(&ok, 16);
    // toUInt also takes a "0x" prefix and a sign, which are not digits.
    const bool onlyDigits = std::all_of(digits.begin(), digits.end(), [](QChar c) {
        return c.isDigit() || (c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f'));
    });
    if (!ok || !onlyDigits || value == 0)
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
