#pragma once

#include <QString>
#include <QStringList>

// The recording periods an operator can choose, in the order of every period selector. The
// sensor numbers its periods differently (codes 8 and 9 are 10 minutes and 1 hour, 10 to 12 are
// 2, 5 and 15 minutes), so the selector index and the code sent over the radio part ways after
// "1 min". The seconds by code are page::periodSeconds.
namespace periods
{

constexpr int Count = 13;

QStringList texts();
// "" outside 0..12.
QString text(int item);
// -1 outside 0..12.
int codeOfItem(int item);
// The selector index showing a code reported by a sensor; -1 for a code above 12 (not a
// period: the selector is left as it is).
int itemOfCode(int code);
// Seconds of a period code; 0 outside 0..15 and for 13 to 15.
int secondsOfCode(int code);
int secondsOfItem(int item);

} // namespace periods
