#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// Bytes from hexadecimal text with blanks between them: hex("7E 00 01 37 C8").
QByteArray hex(const char *text);
// A serial number as the data files name it: 1234 for 0x1234.
QString hex4(int sn);
// Replaces config.ini in the current folder with `text`.
void writeIni(const QByteArray &text);
// A file's bytes, or nothing when it cannot be read.
QByteArray fileBytes(const QString &path);

// A temporary folder that is the current one from its construction on: config.ini and the files
// a test makes land there.
class WorkFolder : public QTemporaryDir
{
public:
    WorkFolder();
};
