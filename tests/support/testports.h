#pragma once

#include "connectiondialog.h"

// The ports the connection bar is offered once offerTestPorts() ran: those a test puts here.
inline QList<PortEntry> &testPorts()
{
    static QList<PortEntry> ports;
    return ports;
}
inline void offerTestPorts()
{
    setPortLister([] { return testPorts(); });
}
