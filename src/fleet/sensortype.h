#pragma once

#include "pagedecode.h"

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>

// What a sensor type is called, which channels it records and how its raw values become
// physical ones, as the catalogue file describes it. The sensor table keeps one per row and
// refreshes it from the file whenever it rebuilds the row's channel list, so an edited catalogue
// takes effect without a restart.
struct SensorType {
    static constexpr int Channels = 8;

    bool known = false;
    QString title;
    // One entry per channel as listed; may hold more or fewer than eight.
    QStringList channelTitles;
    uint8_t channelCount = 0; // NB_DATA
    std::array<uint8_t, Channels> decimals{};
    std::array<QString, Channels> units;
    std::array<float, Channels> coefficients{1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
    std::array<uint8_t, Channels> sizes{}; // non-zero: a 4-byte raw value

    // "Unknown" with eight "UNKN" channels, no decimals, coefficients 1.
    static SensorType unknown();

    // Title of channel `channel`; empty beyond the list.
    QString channelTitle(int channel) const;
    // The items a channel selector offers: titles of at least three characters among the first
    // eight, in channel order; none for an unknown type.
    QStringList selectableChannels() const;
    // Bit i set when one of `checked` equals the title of channel i (i from 0 to 7).
    uint8_t channelMask(const QStringList &checked) const;
    // The page decoder's view of this type for sensor type number `sensorType`.
    pagedecode::Layout layout(int sensorType) const;
};

// The catalogue the program runs with (FileLocations): sensor.ini of the working folder unless
// a front end chose another.
QString defaultCatalogue();

// The description of type number `type` read from the catalogue at `iniPath` (relative paths
// resolve against the working directory): the body of describe(row, type), whose record the
// sensor table stores for the row. A type without a title, or a missing file, gives unknown().
// Writes "sensor title" or "sensor unknown" to the debug output.
SensorType describeType(int type, const QString &iniPath = defaultCatalogue());

// The number of the first catalogue type titled `title`; 0 when none is.
int catalogueType(const QString &title, const QString &iniPath = defaultCatalogue());

// The ";"-separated items of a catalogue list, empty items kept ("a;;b" has three); an empty
// value has no item.
QStringList splitCatalogueList(const QString &value);

// One line per catalogue coefficient that is no number ("sensor.ini line 12: [3] COEFF item 2
// ..."), for the operator at start; such a channel keeps its raw value.
QStringList catalogueWarnings(const QString &iniPath = defaultCatalogue());
