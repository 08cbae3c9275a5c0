#include "linksettings.h"

#include "settings.h"

LinkSettings LinkSettings::defaults()
{
    LinkSettings s;
    for (int i = 0; i < settings::defaults::LoraConfigCount; ++i) {
        const QString text = settings::defaults::loraConfigText(i);
        if (i < 6 || !text.isEmpty())
            s.loraConfig << QByteArray::fromHex(text.toLatin1());
    }
    return s;
}

LinkSettings LinkSettings::load()
{
    LinkSettings s;
    s.apiDestination = settings::readHex(settings::key::AddressApi, settings::defaults::AddressApi);
    if (settings::contains(settings::key::BaudRadio))
        s.baudRadio = settings::readInt(settings::key::BaudRadio, settings::defaults::BaudRadio);
    s.timeoutBase = settings::readInt(settings::key::TimeoutBase, settings::defaults::TimeoutBase);
    s.timeoutCoeffOver4 =
        settings::readInt(settings::key::TimeoutCoeffOver4, settings::defaults::TimeoutCoeffOver4);
    s.preambleNormal =
        settings::readInt(settings::key::PreambleNormal, settings::defaults::PreambleNormal);
    s.preambleWakeUp =
        settings::readInt(settings::key::PreambleWakeUp, settings::defaults::PreambleWakeUp);
    for (int i = 0; i < settings::defaults::LoraConfigCount; ++i) {
        const QString text = settings::readString(settings::key::loraConfig(i),
                                                  settings::defaults::loraConfigText(i));
        if (i < 6 || !text.isEmpty())
            s.loraConfig << QByteArray::fromHex(text.toLatin1());
    }
    return s;
}
