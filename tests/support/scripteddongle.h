#pragma once

#include "ptypeer.h"

#include <QByteArray>
#include <QObject>
#include <functional>

// A dongle on a pseudo-terminal for window tests: an 802.15.4 one that knows its channel and
// version, a LoRa one that reports itself and echoes configuration frames, or a device that
// answers neither. Frames it does not handle go to `other`.
class ScriptedDongle : public QObject
{
    Q_OBJECT
public:
    enum Kind { Api, Lora, Mute };
    explicit ScriptedDongle(Kind kind);

    QString path() const { return m_peer.slavePath(); }
    PtyPeer &peer() { return m_peer; }
    Kind kind = Api;
    int channel = 15;
    int version = 104;
    bool acceptChannelChange = true;
    // The channel is told this long after it was asked for (a busy dongle).
    int channelAnswerDelayMs = 0;
    std::function<void(const QByteArray &)> other;

private:
    void onFrame(const QByteArray &body);
    PtyPeer m_peer;
};
