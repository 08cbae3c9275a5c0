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

LinkSettings LinkSettings::load(const settings::Store &store)
{
    LinkSettings s;
    s.apiDestination = store.readHex(settings::key::AddressApi, settings::defaults::AddressApi);
    if (store.contains(settings::key::BaudRadio))
        s.baudRadio = store.readInt(settings::key::BaudRadio, settings::defaults::BaudRadio);
    s.timeoutBase = store.readInt(settings::key::TimeoutBase, settings::defaults::TimeoutBase);
    s.timeoutCoeffOver4 =
        store.readInt(settings::key::TimeoutCoeffOver4, settings::defaults::TimeoutCoeffOver4);
    s.preambleNormal =
        store.readInt(settings::key::PreambleNormal, settings::defaults::PreambleNormal);
    s.preambleWakeUp =
        store.readInt(settings::key::PreambleWakeUp, settings::defaults::PreambleWakeUp);
    for (int i = 0; i < settings::defaults::LoraConfigCount; ++i) {
        const QString text = store.readString(settings::key::loraConfig(i),
                                                  settings::defaults::loraConfigText(i));
        if (i < 6 || !text.isEmpty())
            s.loraConfig << QByteArray::fromHex(text.toLatin1());
    }
    return s;
}
