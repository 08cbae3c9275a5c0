#pragma once

#include "settings.h"

#include <QByteArray>
#include <QList>
#include <cstdint>
#include <optional>

// The link's part of config.ini, read once. Every number is already in the range the link can
// use (a preamble is one byte on the wire), so nothing downstream has to check it again.
struct LinkSettings {
    uint64_t apiDestination = 0xFFFF;
    // COM/BR_RADIO as written: only 111111, 250000 and 1000000 are applied; no value, 250000.
    std::optional<int> baudRadio;
    int timeoutBase = 40;
    int timeoutCoeffOver4 = 2;
    int preambleNormal = 8;
    int preambleWakeUp = 34;
    // The configuration frames sent to a LoRa dongle at open, in key order: CONFIG0 to
    // CONFIG5 always (even empty), CONFIG6 to CONFIG9 only when they hold something.
    QList<QByteArray> loraConfig;

    static LinkSettings load(const settings::Store &store = settings::current());
    // The defaults, as if config.ini were empty.
    static LinkSettings defaults();
};
