#pragma once

#include "settings.h"

#include <QString>

// The broker's part of config.ini, edited by hand and never written by the program:
//   [MQTT]
//   ENABLED=false        nothing is published unless true
//   HOST=broker.example  PORT=1883
//   CLIENT_ID=           empty: one made up by the library at each connection
//   TOPIC_PREFIX=        empty: tessaran/<host name of this PC>
//   QOS=1                0 or 1; what is marked sent at 0 is what left this PC
//   USER=  PASSWORD=  or PASSWORD_FILE=  (a file only its owner can read)
//   CA_FILE=             the broker's CA in PEM: TLS, with the broker's certificate checked
//   PUBLISH_ROWS=false   true: also the rows each collection adds to the archives
struct MqttSettings {
    bool enabled = false;
    QString host;
    int port = 1883;
    QString clientId;
    QString topicPrefix;
    int qos = 1;
    QString user;
    QString password;
    QString passwordFile;
    QString caFile;
    bool publishRows = false;

    QString address() const { return QStringLiteral("%1:%2").arg(host).arg(port); }
};

namespace mqtt
{

MqttSettings loadSettings(const settings::Store &store = settings::current());
QString defaultTopicPrefix();
// "HOST" or "HOST:PORT" of the command line into `s`; false for a port that is not one.
bool applyAddress(const QString &address, MqttSettings &s);
// The password of the settings, from the file when one is named. False with a line for the
// operator when the file cannot be read or others can read it.
bool resolvePassword(MqttSettings &s, QString &error);

} // namespace mqtt
