#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// The simulated dongle in a process of its own, so that its pacing and its CPU time are not the
// benchmarked program's. The simulator prints its link path once the terminal is open; start()
// waits for that line, and the destructor ends the process with SIGTERM (it removes its link).
class SimProcess
{
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // `extra` comes before the scenario: --baud, --speed...
    bool start(const QString &scenario, const QString &linkPath, const QStringList &extra);
    void stop();
    QString errorString() const { return m_error; }

private:
    QProcess m_process;
    QString m_error;
};
