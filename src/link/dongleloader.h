#pragma once

#include "linkwait.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class ApiExchange;
class SerialTransport;

// Replaces the 802.15.4 dongle's firmware with an S-record file: the firmware restarts into its
// loader, the port is reopened at the loader's rate, the loader is synchronised, then every line
// goes out in its byte form and must be acknowledged within a window. One missing
// acknowledgement ends the upload: the loader never takes a line twice.
class DongleLoader : public QObject
{
    Q_OBJECT
public:
    enum Result {
        Updated = 0,      // every line acknowledged
        FileError = 1,    // the file cannot be opened
        PortError = 2,    // the port cannot be reopened at the loader rate
        NoSync = 3,       // the loader never answered the synchronisation
        LineNotAcked = 4, // a line was not acknowledged
        NotFirmware = 5,  // the file is not a whole S-record image: nothing was sent
    };
    // Firmware images are a few hundred kilobytes of text; anything far larger is not one.
    static constexpr qint64 MaxFileBytes = 4 * 1024 * 1024;

    DongleLoader(SerialTransport &transport, ApiExchange &api, QObject *parent = nullptr);

    // One of Result. `devicePath` is where the port is reopened at the loader rate; the port is
    // left open at that rate, for the caller to reopen at the link's.
    int upload(const QString &fileName, const QString &devicePath);

public slots:
    // Ends the upload under way at once (the window closes, the program quits).
    void stop();

signals:
    void update_program_status(QString status);
    // Line `line` (1-based) of `lines` is going out.
    void progress(int line, int lines);

private:
    // One window for `expected` as the first bytes of the answer.
    LinkWait::Outcome awaitAnswer(const QByteArray &expected);
    int fail(int result, const char *diagnostic, const QString &status);

    SerialTransport &m_transport;
    ApiExchange &m_api;
    LinkWait *m_wait = nullptr;
    bool m_stopped = false;
};
