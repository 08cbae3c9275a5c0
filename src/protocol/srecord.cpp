#include "srecord.h"

#include <cstdlib>

namespace srec
{

namespace
{

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Address bytes per record type; -1 for a type no loader knows.
int addressBytes(char type)
{
    switch (type) {
    case '0':
    case '1':
    case '5':
    case '9':
        return 2;
    case '2':
    case '6':
    case '8':
        return 3;
    case '3':
    case '7':
        return 4;
    default:
        return -1;
    }
}

bool isData(char type)
{
    return type == '1' || type == '2' || type == '3';
}

} // namespace

Problem checkLine(const QByteArray &line)
{
    if (line.size() < 2 || line[0] != 'S')
        return Problem::NotARecord;
    const int address = addressBytes(line[1]);
    if (address < 0)
        return Problem::UnknownType;
    const int digits = line.size() - 2;
    for (int i = 2; i < line.size(); ++i)
        if (hexValue(line[i]) < 0)
            return Problem::NotHex;
    if (digits % 2 != 0)
        return Problem::OddDigits;
    const int bytes = digits / 2;
    if (bytes < 1)
        return Problem::TooShort;
    auto byteAt = [&](int n) { return hexValue(line[2 + 2 * n]) * 16 + hexValue(line[3 + 2 * n]); };
    const int count = byteAt(0);
    if (count != bytes - 1)
        return Problem::BadCount;
    if (count < address + 1)
        return Problem::TooShort;
    unsigned sum = 0;
    for (int n = 0; n < bytes - 1; ++n)
        sum += unsigned(byteAt(n));
    if (((~sum) & 0xFFu) != unsigned(byteAt(bytes - 1)))
        return Problem::BadChecksum;
    if (isData(line[1])) {
        // A loader would wrap such a record round to address 0 and overwrite its own vectors.
        quint64 start = 0;
        for (int n = 1; n <= address; ++n)
            start = start * 256 + quint64(byteAt(n));
        const quint64 length = quint64(count - address - 1);
        if (start + length > (quint64(1) << (8 * address)))
            return Problem::PastTop;
    }
    return Problem::None;
}

QList<QByteArray> splitLines(const QByteArray &text)
{
    QList<QByteArray> lines;
    int start = 0;
    while (start < text.size()) {
        const int end = text.indexOf('\n', start);
        if (end < 0) {
            lines.append(text.mid(start));
            break;
        }
        lines.append(text.mid(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

Check checkText(const QByteArray &text)
{
    Check check;
    const QList<QByteArray> lines = splitLines(text);
    bool data = false;
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\n'))
            line.chop(1);
        const Problem problem = checkLine(line);
        if (problem != Problem::None) {
            check.problem = problem;
            check.line = i + 1;
            return check;
        }
        data = data || isData(line[1]);
    }
    if (lines.isEmpty()) {
        check.problem = Problem::NoLines;
        return check;
    }
    if (!data) {
        check.problem = Problem::NoData;
        return check;
    }
    check.lines = lines.size();
    return check;
}

QString describe(const Check &check)
{
    QString what;
    switch (check.problem) {
    case Problem::None:
        return QStringLiteral("%1 S-record lines").arg(check.lines);
    case Problem::NoLines:
        return QStringLiteral("the file holds no line");
    case Problem::NoData:
        return QStringLiteral("the file holds no data record (S1, S2 or S3)");
    case Problem::NotARecord:
        what = QStringLiteral("not an S-record");
        break;
    case Problem::UnknownType:
        what = QStringLiteral("unknown record type");
        break;
    case Problem::NotHex:
        what = QStringLiteral("a character that is not a hexadecimal digit");
        break;
    case Problem::OddDigits:
        what = QStringLiteral("an odd number of hexadecimal digits");
        break;
    case Problem::BadCount:
        what = QStringLiteral("the byte count does not match the line");
        break;
    case Problem::TooShort:
        what = QStringLiteral("too short for its record type");
        break;
    case Problem::BadChecksum:
        what = QStringLiteral("checksum does not match");
        break;
    case Problem::PastTop:
        what = QStringLiteral("the data runs past the top of the record type's address space");
        break;
    }
    return QStringLiteral("line %1: %2").arg(check.line).arg(what);
}

QByteArray encodeLine(const QByteArray &line)
{
    QByteArray bytes;
    // The loaders read the two first characters blind, a lone line end and the string's end
    // included.
    bytes.append(line.isEmpty() ? '\0' : line[0]);
    bytes.append(line.size() < 2 ? '\0' : line[1]);
    for (int i = 2; i < line.size() - 1; i += 2) {
        const char pair[3] = {line[i], line[i + 1], '\0'};
        bytes.append(char(std::strtol(pair, nullptr, 16) & 0xFF));
    }
    return bytes;
}

} // namespace srec
