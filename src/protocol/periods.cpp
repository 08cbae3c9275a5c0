#include "periods.h"

#include "page.h"

namespace periods
{

namespace
{
const char *const itemTexts[Count] = {"1 sec",   "2 secs",  "5 secs", "10 secs", "15 secs",
                                      "20 secs", "30 secs", "1 min",  "2 mins",  "5 mins",
                                      "10 mins", "15 mins", "1 hour"};
const int itemCodes[Count] = {0, 1, 2, 3, 4, 5, 6, 7, 10, 11, 8, 12, 9};
} // namespace

QStringList texts()
{
    QStringList list;
    for (const char *t : itemTexts)
        list << QString::fromLatin1(t);
    return list;
}

QString text(int item)
{
    if (item < 0 || item >= Count)
        return QString();
    return QString::fromLatin1(itemTexts[item]);
}

int codeOfItem(int item)
{
    if (item < 0 || item >= Count)
        return -1;
    return itemCodes[item];
}

int itemOfCode(int code)
{
    for (int item = 0; item < Count; ++item)
        if (itemCodes[item] == code)
            return item;
    return -1;
}

int secondsOfCode(int code)
{
    if (code < 0 || code >= 16)
        return 0;
    return page::periodSeconds[code];
}

int secondsOfItem(int item)
{
    return secondsOfCode(codeOfItem(item));
}

} // namespace periods
