#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>
#include <cstdint>

// config.ini (in the working directory unless another file is named), opened briefly for each
// read or write. A key is consulted only when the file holds it. A number is taken only when its
// text is a decimal integer in the range the program can use; anything else falls back to the
// default with one diagnostic line.
namespace settings
{

inline const QString FileName = QStringLiteral("config.ini");

namespace key
{
inline const QString MainWinX = QStringLiteral("WINDOW_POS/MAIN_WIN_X");
inline const QString MainWinY = QStringLiteral("WINDOW_POS/MAIN_WIN_Y");
inline const QString DataWinX = QStringLiteral("WINDOW_POS/W_DATA_WIN_X");
inline const QString DataWinY = QStringLiteral("WINDOW_POS/W_DATA_WIN_Y");
inline const QString AdvConfigWinX = QStringLiteral("WINDOW_POS/ADV_CONFIG_WIN_X");
inline const QString AdvConfigWinY = QStringLiteral("WINDOW_POS/ADV_CONFIG_WIN_Y");
inline const QString AdvSensorWinX = QStringLiteral("WINDOW_POS/ADV_W_CONFIG_WIN_X");
inline const QString AdvSensorWinY = QStringLiteral("WINDOW_POS/ADV_W_CONFIG_WIN_Y");
inline const QString WaveformWinX = QStringLiteral("WINDOW_POS/WAVEFORM_WIN_X");
inline const QString WaveformWinY = QStringLiteral("WINDOW_POS/WAVEFORM_WIN_Y");
inline const QString DestFolder = QStringLiteral("W_DATA/DEST_FOLDER");
inline const QString PdcEnable = QStringLiteral("W_DATA/PDC_ENABLE");
inline const QString DebugEnable = QStringLiteral("W_DATA/DEBUG_ENABLE");
inline const QString ComPort = QStringLiteral("COM/COM_PORT");
inline const QString AddressApi = QStringLiteral("COM/ADDRESS_API");
inline const QString BaudRadio = QStringLiteral("COM/BR_RADIO");
inline const QString TimeoutBase = QStringLiteral("COM_TIMEOUT/BASE");
inline const QString TimeoutCoeffOver4 = QStringLiteral("COM_TIMEOUT/COEFF_OVER_4");
inline const QString PreambleNormal = QStringLiteral("LORA/PREAMBLE_SIZE_NORMAL");
inline const QString PreambleWakeUp = QStringLiteral("LORA/PREAMBLE_SIZE_REVEIL");
inline const QString LoraTerm = QStringLiteral("LORA/TERM");
inline const QString AdvSensorHexDir = QStringLiteral("ADV_CONFIG_W/DIR_HEX_FILE");
inline const QString AdvSensorSrecDir = QStringLiteral("ADV_CONFIG_W/DIR_SREC_FILE");
inline const QString DongleSrecDir = QStringLiteral("ADV_CONFIG/DIR_SREC_FILE");
// The frame log file (every frame in and out, decoded) and the size at which it is rotated.
inline const QString FrameLog = QStringLiteral("LOG/FRAME_LOG");
inline const QString FrameLogSizeKb = QStringLiteral("LOG/FRAME_LOG_SIZE_KB");
QString loraConfig(int index); // LORA/CONFIG0 .. LORA/CONFIG9
} // namespace key

namespace defaults
{
constexpr uint64_t AddressApi = 0xFFFF;
constexpr int BaudRadio = 250000;
constexpr int LoraBaud = 115200;
constexpr int TimeoutBase = 40;
constexpr int TimeoutCoeffOver4 = 2;
constexpr int PreambleNormal = 8;
constexpr int PreambleWakeUp = 34;
constexpr int LoraConfigCount = 10;
constexpr int FrameLogSizeKb = 10240;
// Stored default text of LORA/CONFIGn; empty for 6 to 9.
QString loraConfigText(int index);
} // namespace defaults

// One settings file, named by its path; every read and write opens it briefly.
class Store
{
public:
    explicit Store(const QString &path = FileName) : m_path(path) {}
    const QString &path() const { return m_path; }

    bool contains(const QString &key) const;
    // Within the key's own range (rangeOf) or the one given.
    int readInt(const QString &key, int fallback) const;
    int readInt(const QString &key, int fallback, int min, int max) const;
    bool readBool(const QString &key, bool fallback) const;
    QString readString(const QString &key, const QString &fallback = QString()) const;
    // Hexadecimal text; a text that is not hexadecimal reads as 0.
    uint64_t readHex(const QString &key, uint64_t fallback) const;
    // False when the file could not be written (a read-only file or folder, a full disk).
    bool write(const QString &key, const QVariant &value) const;
    // Several keys in one go; false as write().
    bool write(const QList<QPair<QString, QVariant>> &values) const;

private:
    QString m_path;
};

// The store the program uses: config.ini of the working folder, unless use() named another.
const Store &current();
void use(const QString &path);
// The path of current(), for messages and copies.
inline QString path()
{
    return current().path();
}

// The same operations on current().
bool contains(const QString &key);
int readInt(const QString &key, int fallback);
int readInt(const QString &key, int fallback, int min, int max);
bool readBool(const QString &key, bool fallback);
QString readString(const QString &key, const QString &fallback = QString());
uint64_t readHex(const QString &key, uint64_t fallback);
bool write(const QString &key, const QVariant &value);

} // namespace settings
