#include "device.h"

#include "page.h"

#include <QDateTime>

namespace sim
{

namespace
{
int64_t periodOf(int code)
{
    const int64_t p = page::periodSeconds[code & 0x0F];
    return p > 0 ? p : 1;
}

int64_t floorDiv(int64_t a, int64_t b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}
} // namespace

Device::Device(const DeviceConfig &config, int dongleChannel)
    : m_config(config), m_memory(config.type),
      m_radioChannel(config.radioChannel ? config.radioChannel : dongleChannel),
      m_clockOffsetMs(int64_t(config.clockOffsetSeconds) * 1000), m_periodCode(config.periodCode),
      m_mask(uint8_t(config.channelMask > 0 ? config.channelMask
                                            : typeTraits(config.type).defaultMask)),
      m_loader(firmware::targetFor(config.serialNumber))
{
    // A relay's loader listens beside its firmware all the time.
    if (isRelay() || config.startInLoader)
        m_loader.enter();
    auto put = [this](uint16_t address, int value) {
        m_images.write(false, address, uint8_t(value));
    };
    put(0, config.serialNumber >> 8);
    put(1, config.serialNumber & 0xFF);
    put(2, config.type);
    put(3, config.version);
    put(eeprom::RadioChannel, m_radioChannel);
    put(eeprom::ErrorIndex, config.errorCode ? 1 : 0);
    // One stored error, its value made from the scenario's error code.
    put(eeprom::ErrorTable + 2, config.errorCode);
    put(eeprom::ErrorTable + 3, 0xE0);
    const uint32_t seed = config.seed ? config.seed : config.serialNumber;
    for (int i = 0; i < DeviceMemory::RamSize; ++i)
        m_images.write(true, uint16_t(i), uint8_t(mix(seed, 0xA11, uint32_t(i)) & 0xFF));
    m_images.apply(false, config.eepromPresets);
    m_images.apply(true, config.ramPresets);
    // A preset channel is where the device starts.
    const int channel = m_images.eepromByte(eeprom::RadioChannel);
    if (channel >= api::FirstChannel && channel <= api::LastChannel)
        m_radioChannel = channel;
    if (isPowerMeter(config.type, config.serialNumber))
        m_power.emplace(config.power, config.type);
}

void Device::enter_loader()
{
    m_loader.enter();
    awakeUntilMs = 0;
}

void Device::setVersion(int version)
{
    m_config.version = version & 0xFF;
    m_images.write(false, 3, uint8_t(m_config.version));
}

void Device::restarted()
{
    const int channel = m_images.eepromByte(eeprom::RadioChannel);
    if (channel >= api::FirstChannel && channel <= api::LastChannel)
        m_radioChannel = channel;
    // The loader runs instead of the firmware once after a restart that finds its flag.
    if (!isRelay() &&
        m_images.eepromByte(firmware::LoaderFlagAddress) == firmware::LoaderFlagValue) {
        m_images.write(false, firmware::LoaderFlagAddress, 0xFF);
        enter_loader();
    }
}

bool Device::isRelay() const
{
    return m_config.serialNumber >= command::RelayRangeFirst &&
           m_config.serialNumber <= command::RelayRangeLast;
}

bool Device::alwaysListening() const
{
    return m_config.serialNumber >= command::AlwaysListeningFrom;
}

void Device::start(int64_t simMs)
{
    const uint32_t seed = m_config.seed ? m_config.seed : m_config.serialNumber;
    const int64_t now = floorDiv(sensorMs(simMs), 1000);
    const int64_t period = periodOf(m_periodCode);
    const int64_t perPage = m_memory.samplesPerPage(m_mask);
    int64_t samples =
        m_config.pages >= 0 ? m_config.pages * perPage : m_config.spanSeconds / period;
    m_recordingStart = now - samples * period;
    m_generator = Generator(seed, m_config.type, m_recordingStart);
    m_nextSample = m_recordingStart;
    // A ring that wrapped long ago: only the pages that survive are written.
    const int64_t pages = (samples + perPage - 1) / perPage;
    if (pages > page::RingPages) {
        const int64_t skipped = pages - page::RingPages;
        m_memory.skipPages(int(skipped % page::RingPages));
        m_nextSample += skipped * perPage * period;
    }
    m_started = true;
    recordUpTo(now - 1);
}

void Device::recordUpTo(int64_t sensorSeconds, int64_t maxSamples)
{
    const int64_t period = periodOf(m_periodCode);
    if (sensorSeconds < m_nextSample)
        return;
    // Far behind (a huge speed, or a clock set years ahead): the ring can only keep its last
    // round, so forget what would be overwritten before writing it.
    const int64_t perPage = m_memory.samplesPerPage(m_mask);
    const int64_t ringSamples = int64_t(page::RingPages) * perPage;
    const int64_t due = (sensorSeconds - m_nextSample) / period + 1;
    if (due > ringSamples + perPage) {
        const int64_t skippedPages = (due - ringSamples) / perPage;
        m_memory.endSegment(m_nextSample);
        m_memory.skipPages(int(skippedPages % page::RingPages));
        m_nextSample += skippedPages * perPage * period;
    }
    for (; m_nextSample <= sensorSeconds && maxSamples-- > 0; m_nextSample += period)
        m_memory.record(m_nextSample, m_generator.sample(m_nextSample, m_mask), m_mask,
                        m_periodCode, m_config.battery);
}

void Device::catchUp(int64_t simMs, int64_t maxSamples)
{
    if (m_started)
        recordUpTo(floorDiv(sensorMs(simMs), 1000), maxSamples);
}

void Device::newSegment(int64_t sensorSeconds)
{
    m_memory.endSegment(sensorSeconds);
    m_nextSample = sensorSeconds;
}

answer::Status Device::status(int64_t simMs, uint8_t function)
{
    catchUp(simMs);
    answer::Status s;
    s.serialNumber = m_config.serialNumber;
    s.function = function;
    if (m_config.functionByte == DeviceConfig::Varying)
        s.function = uint8_t(++m_frames * 0x4B + 0x0F);
    else if (m_config.functionByte >= 0)
        s.function = uint8_t(m_config.functionByte);
    s.clock = QDateTime::fromMSecsSinceEpoch(sensorMs(simMs), Qt::UTC);
    s.recordingStart = QDateTime::fromSecsSinceEpoch(m_recordingStart, Qt::UTC);
    s.periodCode = uint8_t(m_periodCode);
    s.pageCount = uint16_t(m_memory.pagesUsed());
    s.sensorType = uint8_t(m_config.type);
    s.channelMask = m_mask;
    s.version = uint8_t(m_config.version);
    const int64_t last =
        m_memory.isEmpty() ? floorDiv(sensorMs(simMs), 1000) : m_memory.lastSampleSeconds();
    const Sample v =
        m_generator.sample(last, typeTraits(m_config.type).accelerometer ? 0x07 : 0x0F);
    const uint8_t counters = typeTraits(m_config.type).counterMask;
    s.lastValue0 = int16_t(v.values[0]);
    s.lastValue1 = int16_t(v.values[1]);
    // A 16-bit channel travels in the low half of its 32-bit field.
    s.lastValue2 = (counters & 0x04) ? uint32_t(v.values[2]) : uint32_t(v.values[2] & 0xFFFF);
    s.lastValue3 = (counters & 0x08) ? uint32_t(v.values[3]) : uint32_t(v.values[3] & 0xFFFF);
    s.batteryIndex = uint8_t(m_config.battery);
    s.mode = uint8_t(m_config.mode);
    s.errorFlag = m_images.eepromByte(eeprom::ErrorIndex) ? 1 : 0;
    return s;
}

Device::Outcome Device::apply(const command::Block &block, int64_t simMs)
{
    catchUp(simMs);
    Outcome out;
    const uint8_t flags = block[command::FlagsByte];
    if (flags == 0) {
        const uint8_t op = block[command::MemoryOperationByte];
        const uint16_t address = uint16_t((block[command::MemoryAddressBytes] << 8) |
                                          block[command::MemoryAddressBytes + 1]);
        if (op == command::ReadEeprom || op == command::ReadRam) {
            out.status = status(simMs, command::SensorFunction);
            out.status.memory = m_images.read(op == command::ReadRam, address);
            return out;
        }
        if (op == command::WriteEeprom) {
            // A new radio channel is taken at the restart: the answer still goes out on the
            // channel the command came on.
            m_images.write(false, address, block[command::MemoryValueByte]);
            out.restart = block[command::MemoryRestartByte] == 1;
        }
        out.status = status(simMs, command::SensorFunction);
        return out;
    }
    bool clockSet = false;
    if (flags & command::SetClock) {
        const QDateTime when = command::bcdDateTime(&block[command::ClockBytes], Qt::UTC);
        if (when.isValid()) {
            clockSet = true;
            const int64_t target = when.toMSecsSinceEpoch() +
                                   command::subSecondMilliseconds(block[command::SubSecondByte]);
            m_clockOffsetMs = target - simMs;
            newSegment(floorDiv(sensorMs(simMs), 1000));
            if (m_memory.isEmpty())
                m_recordingStart = m_nextSample;
        }
    }
    const int64_t clockNow = floorDiv(sensorMs(simMs), 1000);
    if (flags & command::ChangePeriod) {
        const int code = block[command::PeriodCodeByte];
        if (code <= 12 && code != m_periodCode) {
            newSegment(clockNow);
            m_periodCode = code;
        }
    }
    if (flags & command::SelectChannels) {
        const uint8_t mask = block[command::ChannelMaskByte];
        const TypeTraits traits = typeTraits(m_config.type);
        // A mask for another type, or with channels this type does not have, is refused: the
        // answer keeps the old mask and the program sees that nothing changed.
        if (block[command::SensorTypeByte] == m_config.type && mask &&
            !(mask & ~traits.availableMask) && !traits.accelerometer && mask != m_mask) {
            newSegment(clockNow);
            m_mask = mask;
        }
    }
    if (flags & command::ClearData) {
        m_memory.clear();
        m_recordingStart = clockNow;
        m_nextSample = clockNow;
        // The first sample of the new recording is taken at once.
        catchUp(simMs);
    }
    uint16_t first = answer::NoPage;
    uint16_t last = answer::NoPage;
    if (flags & (command::DownloadAll | command::DownloadBetween)) {
        std::optional<SensorMemory::Range> range;
        if (flags & command::DownloadAll) {
            range = m_memory.rangeAll();
        } else {
            const QDateTime from = command::bcdDateTime(&block[command::WindowStartBytes], Qt::UTC);
            const QDateTime to = command::bcdDateTime(&block[command::WindowEndBytes], Qt::UTC);
            if (from.isValid() && to.isValid())
                range = m_memory.rangeBetween(from.toSecsSinceEpoch(), to.toSecsSinceEpoch());
        }
        if (range) {
            first = uint16_t(range->first);
            last = uint16_t(range->second);
        }
    }
    out.status = status(simMs, command::SensorFunction);
    out.status.firstPage = first;
    out.status.lastPage = last;
    if (flags & command::ClearData)
        out.status.firstPage = uint16_t(answer::ClearedMark << 8);
    // A clock that is no date is not taken, and the sensor does not say it was.
    if (clockSet)
        out.status.timeSet = 1;
    return out;
}

} // namespace sim
