#include "dongleloader.h"

#include "apiexchange.h"
#include "loader.h"
#include "serialtransport.h"
#include "srecord.h"

#include <QDebug>
#include <QFile>

DongleLoader::DongleLoader(SerialTransport &transport, ApiExchange &api, QObject *parent)
    : QObject(parent), m_transport(transport), m_api(api)
{
}

void DongleLoader::stop()
{
    m_stopped = true;
    if (m_wait)
        m_wait->stop();
}

int DongleLoader::fail(int result, const char *diagnostic, const QString &status)
{
    qDebug() << QString::fromLatin1(diagnostic);
    emit update_program_status(status);
    return result;
}

LinkWait::Outcome DongleLoader::awaitAnswer(const QByteArray &expected)
{
    LinkWait wait(&m_transport, loader::WindowMs);
    m_wait = &wait;
    QByteArray answer;
    LinkWait::Outcome o = m_stopped ? wait.finish(LinkWait::Stopped) : LinkWait::Running;
    while (o == LinkWait::Running || o == LinkWait::TimedOut) {
        // Whatever came before the expected bytes stays in front of them: a stray byte spoils
        // the comparison for the rest of the window, as it does in the loader's own protocol.
        if (m_transport.pendingBytes() >= expected.size()) {
            answer += m_transport.readPending();
            if (answer.startsWith(expected)) {
                o = wait.finish(LinkWait::Done);
                break;
            }
        }
        if (o == LinkWait::TimedOut) {
            wait.finish(o);
            break;
        }
        o = wait.pass();
    }
    m_wait = nullptr;
    if (o != LinkWait::Done && o != LinkWait::TimedOut)
        qDebug() << QStringLiteral("/!\\ upload ended :") << o;
    return o;
}

int DongleLoader::upload(const QString &fileName, const QString &devicePath)
{
    m_stopped = false;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return fail(FileError, "The file can't be opened", QStringLiteral("Error Opening File"));

    // The loader trusts every byte it takes and a half-written dongle is useless: the file is
    // read and checked whole while the dongle still runs its firmware.
    if (file.size() > MaxFileBytes) {
        qDebug() << QStringLiteral("/!\\ not a firmware file :") << file.size()
                 << QStringLiteral("bytes");
        emit update_program_status(
            QStringLiteral("Not a firmware file: larger than %1 bytes").arg(MaxFileBytes));
        return NotFirmware;
    }
    const QByteArray text = file.readAll();
    const srec::Check check = srec::checkText(text);
    if (!check.ok()) {
        qDebug() << QStringLiteral("/!\\ not a firmware file :") << srec::describe(check);
        emit update_program_status(QStringLiteral("Not a firmware file: ") + srec::describe(check));
        return NotFirmware;
    }
    const QList<QByteArray> lines = srec::splitLines(text);

    m_api.sendApiFrame(loader::entryCommand(), 2);
    // From here the line carries the loader's raw bytes; the next open reads frames again.
    m_transport.tap().setLine(framedecode::Line::Loader);

    m_transport.close();
    m_transport.setBaudRate(loader::BaudRate);
    if (!m_transport.open(devicePath))
        return fail(PortError, "Error opening port !", QStringLiteral("Error opening port !"));
    m_transport.setBaudRate(loader::BaudRate);

    {
        LinkWait settle(&m_transport, loader::SettleMs, LinkWait::Events::NoInput);
        m_wait = &settle;
        const LinkWait::Outcome o = m_stopped ? LinkWait::Stopped : settle.pause();
        m_wait = nullptr;
        if (o != LinkWait::TimedOut) {
            qDebug() << QStringLiteral("/!\\ upload ended :") << o;
            return fail(NoSync, "Timeout when receiving ack", QStringLiteral("Timeout expired"));
        }
    }
    emit update_program_status(QStringLiteral("Wait for dongle response"));

    bool synced = false;
    for (int attempt = 0; attempt < loader::SyncAttempts && !synced; ++attempt) {
        m_transport.write(loader::syncRequest());
        const LinkWait::Outcome o = awaitAnswer(loader::syncAnswer());
        synced = o == LinkWait::Done;
        if (!synced && o != LinkWait::TimedOut)
            break;
    }
    if (!synced)
        return fail(NoSync, "Timeout when receiving ack", QStringLiteral("Timeout expired"));

    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray bytes = srec::encodeLine(lines[i]);
        emit update_program_status(
            QStringLiteral("Writing page %1/%2").arg(i + 1).arg(lines.size()));
        emit progress(i + 1, lines.size());
        m_transport.write(bytes);
        if (awaitAnswer(loader::lineAck()) != LinkWait::Done)
            return fail(LineNotAcked, "Timeout when sending data",
                        QStringLiteral("Error writing page%1").arg(i + 1));
    }
    emit update_program_status(QStringLiteral("Device succesfully updated"));
    return Updated;
}
