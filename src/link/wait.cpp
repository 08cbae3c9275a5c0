#include "wait.h"

#include <QCoreApplication>
#include <QThread>

namespace
{
void pause(int processMs, long long sleepUs)
{
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, processMs);
    if (sleepUs > 0 && sleepUs < 1000000)
        QThread::usleep(static_cast<unsigned long>(sleepUs));
}
} // namespace

void delayMs(int ms)
{
    pause(ms, static_cast<long long>(ms) * 1000);
}

void delayUs(int us)
{
    pause(us, us);
}
