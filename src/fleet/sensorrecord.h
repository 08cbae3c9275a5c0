#pragma once

#include <QByteArray>
#include <QDateTime>
#include <cstdint>

// How a sensor's download ended in the run under way; None while none ended (or none was asked
// for). The Status cell shows the text of each (downloadEndText).
enum class DownloadEnd {
    None,
    Complete,    // every page written
    NoData,      // the window held no sample
    NothingNew,  // nothing recorded since the last sample collected
    WriteError,  // a data file could not be written
    Refused,     // a page nobody could vouch for was given up
    Interrupted, // the operator stopped the run
    Timeout      // the sensor went silent for too long
};

// What the program knows of one sensor of the list, one per table row. The sub-windows get a
// copy of it.
struct SensorRecord {
    // Counter value meaning "never heard".
    static constexpr uint16_t NoContact = 32700;
    // Counters stop counting here, so a live counter never reaches NoContact.
    static constexpr uint16_t CounterCeiling = 32000;
    static constexpr int AnswerBytes = 1542;

    uint32_t serial_number = 0; // 16 bits significant; 0 in an empty row
    uint8_t sensor_type = 0;    // 0 until the sensor answered (a typed relay number says 6)
    uint8_t ident = 0;          // second identification byte reported by the sensor
    QDateTime sensor_clock;
    QDateTime record_start;
    uint8_t period_index = 0; // period code the sensor reports
    uint8_t channel_mask = 0; // channels the sensor reports as recorded
    uint16_t start_page = 0;
    uint16_t end_page = 0;
    uint16_t current_page = 0;
    bool download_started = false;
    uint8_t direct_rssi = 255;  // RSSI byte the dongle last heard the sensor with; 255: none
    uint16_t relay_address = 0; // 0: reached directly
    uint8_t rssi = 255;         // 255: none
    QByteArray answer;          // the sensor's last answer as received
    uint16_t direct_age = NoContact;
    uint16_t path_age = NoContact;
    uint16_t page_count = 0;
    uint8_t spare8 = 0;
    uint16_t spare16 = 0;
    uint32_t samples_written = 0;
    DownloadEnd download_end = DownloadEnd::None;
    int download_percent = 0; // of the download under way
    int refused_page = -1;    // the page a Refused download gave up

    // The state of a serial number the operator has just entered: relays (always-listening
    // devices) are known as type 6 before they ever answer.
    static SensorRecord entered(uint16_t serialNumber);
};
