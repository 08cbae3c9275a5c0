#include "simprocess.h"

SimProcess::~SimProcess()
{
    stop();
}

bool SimProcess::start(const QString &scenario, const QString &linkPath, const QStringList &extra)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList args = extra;
    args << QStringLiteral("--link") << linkPath << scenario;
    m_process.start(QStringLiteral(TESSARAN_SIM), args);
    if (!m_process.waitForStarted(10000)) {
        m_error = QStringLiteral("cannot start " TESSARAN_SIM ": ") + m_process.errorString();
        return false;
    }
    // Its first line is the link path, printed once the terminal is there to be opened.
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(10000)) {
            m_error = QStringLiteral("the simulator printed no link path");
            stop();
            return false;
        }
    }
    const QString printed = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    if (printed != linkPath) {
        m_error = QStringLiteral("the simulator linked %1 instead of %2").arg(printed, linkPath);
        stop();
        return false;
    }
    return true;
}

void SimProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}
