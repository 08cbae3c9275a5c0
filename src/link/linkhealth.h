#pragma once

#include <QtGlobal>
#include <climits>

// What the link has seen of its own faults since it was made. A page frame carries only an
// additive 8-bit sum, so a frame that passes it is only as trustworthy as the line it came
// over: the runs ask for a second copy of each page while the line keeps showing damage, and
// take one copy once it has been clean for a while.
class LinkHealth
{
public:
    // A sign of damage: bytes that are no frame, a cut frame, a wrong length, identifier or
    // checksum, a sensor frame whose check fails.
    void fault(const char *why);
    // A frame that passed every check of the link.
    void cleanFrame()
    {
        if (m_cleanRun < INT_MAX)
            ++m_cleanRun;
    }
    quint64 faults() const { return m_faults; }
    // Frames taken since the last fault; a link that never showed one is clean from the start.
    int cleanRun() const { return m_cleanRun; }

private:
    quint64 m_faults = 0;
    int m_cleanRun = INT_MAX;
};
