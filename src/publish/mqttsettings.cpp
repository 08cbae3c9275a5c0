#include "mqttsettings.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>

namespace mqtt
{

QString defaultTopicPrefix()
{
    // A topic level must not hold the wildcards or the separator.
    QString host = QSysInfo::machineHostName();
    host.replace(QRegularExpression(QStringLiteral("[/+#]")), QStringLiteral("_"));
    return QStringLiteral("tessaran/%1").arg(host.isEmpty() ? QStringLiteral("site") : host);
}

MqttSettings loadSettings(const settings::Store &store)
{
    MqttSettings s;
    s.enabled = store.readBool(QStringLiteral("MQTT/ENABLED"), false);
    s.host = store.readString(QStringLiteral("MQTT/HOST")).trimmed();
    s.port = store.readInt(QStringLiteral("MQTT/PORT"), 1883, 1, 65535);
    s.clientId = store.readString(QStringLiteral("MQTT/CLIENT_ID")).trimmed();
    s.topicPrefix = store.readString(QStringLiteral("MQTT/TOPIC_PREFIX")).trimmed();
    while (s.topicPrefix.endsWith(QLatin1Char('/')))
        s.topicPrefix.chop(1);
    if (s.topicPrefix.isEmpty())
        s.topicPrefix = defaultTopicPrefix();
    // QoS 2 buys nothing here: a duplicate is told by its time and sensor anyway.
    s.qos = store.readInt(QStringLiteral("MQTT/QOS"), 1, 0, 1);
    s.user = store.readString(QStringLiteral("MQTT/USER"));
    s.password = store.readString(QStringLiteral("MQTT/PASSWORD"));
    s.passwordFile = store.readString(QStringLiteral("MQTT/PASSWORD_FILE")).trimmed();
    s.caFile = store.readString(QStringLiteral("MQTT/CA_FILE")).trimmed();
    s.publishRows = store.readBool(QStringLiteral("MQTT/PUBLISH_ROWS"), false);
    return s;
}

bool applyAddress(const QString &address, MqttSettings &s)
{
    const int colon = address.lastIndexOf(QLatin1Char(':'));
    QString host = address;
    if (colon >= 0) {
        bool ok = false;
        const int port = address.mid(colon + 1).toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return false;
        s.port = port;
        host = address.left(colon);
    }
    if (host.trimmed().isEmpty())
        return false;
    s.host = host.trimmed();
    s.enabled = true;
    return true;
}

bool resolvePassword(MqttSettings &s, QString &error)
{
    if (s.passwordFile.isEmpty())
        return true;
    const QFileInfo info(s.passwordFile);
    if (info.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther)) {
        error = QStringLiteral("MQTT: the password file %1 can be read by others; make it "
                               "private (chmod 600 %1)")
                    .arg(s.passwordFile);
        return false;
    }
    QFile f(s.passwordFile);
    if (!f.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("MQTT: the password file %1 can't be read (%2)")
                    .arg(s.passwordFile, f.errorString());
        return false;
    }
    // The first line; an editor's final newline is not part of it.
    s.password = QString::fromUtf8(f.readLine()).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
    return true;
}

} // namespace mqtt
