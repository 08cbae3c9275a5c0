#include "linkhealth.h"

#include <QDebug>

void LinkHealth::fault(const char *why)
{
    ++m_faults;
    m_cleanRun = 0;
    qDebug() << QStringLiteral("link fault :") << QString::fromLatin1(why);
}
