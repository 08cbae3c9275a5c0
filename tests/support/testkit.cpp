#include "testkit.h"

#include "settings.h"

#include <QDir>
#include <QFile>

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QString hex4(int sn)
{
    return QStringLiteral("%1").arg(sn, 4, 16, QLatin1Char('0')).toUpper();
}

void writeIni(const QByteArray &text)
{
    QFile f(settings::FileName);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(settings::FileName));
    f.write(text);
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

WorkFolder::WorkFolder()
{
    if (!isValid() || !QDir::setCurrent(path()))
        qFatal("no temporary folder to work in");
}
