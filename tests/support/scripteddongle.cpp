#include "scripteddongle.h"

#include "apiframe.h"

ScriptedDongle::ScriptedDongle(Kind k) : kind(k)
{
    m_peer.open();
    connect(&m_peer, &PtyPeer::frameReceived, this, &ScriptedDongle::onFrame);
}

void ScriptedDongle::onFrame(const QByteArray &body)
{
    const uint8_t first = body.isEmpty() ? 0 : uint8_t(body[0]);
    if (kind == Api && first == api::ReadChannel && body.size() == 1) {
        const QByteArray answer =
            api::rx16Frame(0, 0x28, QByteArray(1, char(api::ReadChannel)) + char(channel));
        if (channelAnswerDelayMs > 0)
            m_peer.writeLater(answer, channelAnswerDelayMs);
        else
            m_peer.write(answer);
        return;
    }
    if (kind == Api && first == api::SetChannel && body.size() == 2) {
        const int wanted = uint8_t(body[1]);
        if (acceptChannelChange && wanted >= api::FirstChannel && wanted <= api::LastChannel)
            channel = wanted;
        return;
    }
    if (kind == Api && first == api::ReadVersion && body.size() == 1) {
        m_peer.write(QByteArray(1, char(version)));
        return;
    }
    if (kind == Lora && first == api::LoraPresence && body.size() == 1) {
        m_peer.write(api::buildFrame(QByteArray::fromHex("11C805")));
        return;
    }
    if (kind == Lora && body.size() == 11 && first == 0x10) {
        m_peer.write(api::buildFrame(body));
        return;
    }
    if (other)
        other(body);
}
