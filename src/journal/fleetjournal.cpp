#include "fleetjournal.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <atomic>

namespace
{
// SQLite's primary result codes the operator's sentence depends on.
enum SqliteCode {
    Busy = 5,
    Locked = 6,
    ReadOnly = 8,
    IoErr = 10,
    Corrupt = 11,
    Full = 13,
    CantOpen = 14,
    NotADb = 26,
};

const QString Driver = QStringLiteral("QSQLITE");
// Stored as the sensor showed it: a wall-clock reading, not an instant.
const QString ClockFormat = QStringLiteral("yyyy-MM-ddTHH:mm:ss");

QString uniqueConnectionName()
{
    static std::atomic<unsigned> next{0};
    return QStringLiteral("tessaran-journal-%1").arg(next++);
}

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QVariant optional(const std::optional<qint64> &v)
{
    return v ? QVariant(*v) : QVariant(QVariant::LongLong);
}

std::optional<qint64> optionalOf(const QVariant &v)
{
    return v.isNull() ? std::nullopt : std::optional<qint64>(v.toLongLong());
}

// --- Schema -------------------------------------------------------------------------------
// migrations[v] takes a file from version v to v + 1, inside the transaction migrate() holds.
// A new version is one more function here and SchemaVersion raised by one.

bool run(QSqlDatabase &db, const char *const statements[], QSqlError &error)
{
    for (const char *const *s = statements; *s; ++s) {
        QSqlQuery q(db);
        if (!q.exec(QString::fromLatin1(*s))) {
            error = q.lastError();
            return false;
        }
    }
    return true;
}

bool toVersion1(QSqlDatabase &db, QSqlError &error)
{
    static const char *const statements[] = {
        "CREATE TABLE status ("
        " id INTEGER PRIMARY KEY,"
        " pc_time_ms INTEGER NOT NULL,"
        " serial INTEGER NOT NULL,"
        " sensor_type INTEGER NOT NULL,"
        " sensor_clock TEXT,"
        " clock_offset_s INTEGER,"
        " period_code INTEGER NOT NULL,"
        " period_s INTEGER NOT NULL,"
        " channel_mask INTEGER NOT NULL,"
        " page_count INTEGER NOT NULL,"
        " first_page INTEGER NOT NULL,"
        " last_page INTEGER NOT NULL,"
        " battery INTEGER NOT NULL,"
        " rssi INTEGER,"
        " relay INTEGER NOT NULL,"
        " version INTEGER,"
        " origin TEXT NOT NULL)",
        "CREATE INDEX status_by_sensor ON status (serial, pc_time_ms)",
        "CREATE TABLE collection ("
        " id INTEGER PRIMARY KEY,"
        " serial INTEGER NOT NULL,"
        " started_ms INTEGER NOT NULL,"
        " ended_ms INTEGER NOT NULL,"
        " ask TEXT NOT NULL,"
        " window_from_ms INTEGER,"
        " window_to_ms INTEGER,"
        " pages_requested INTEGER NOT NULL,"
        " pages_fetched INTEGER NOT NULL,"
        " pages_rerequested INTEGER NOT NULL,"
        " pages_refused INTEGER NOT NULL,"
        " rows_written INTEGER NOT NULL,"
        " outcome TEXT NOT NULL,"
        " archive TEXT NOT NULL,"
        " set_time INTEGER NOT NULL,"
        " set_time_ms INTEGER)",
        "CREATE INDEX collection_by_sensor ON collection (serial, ended_ms)",
        "CREATE TABLE gap ("
        " collection_id INTEGER NOT NULL REFERENCES collection (id),"
        " from_ms INTEGER NOT NULL,"
        " to_ms INTEGER NOT NULL)",
        "CREATE INDEX gap_by_collection ON gap (collection_id)",
        nullptr,
    };
    return run(db, statements, error);
}

// The outbox of the publisher: a message is kept here from the moment it is made until the
// broker acknowledged it, so that neither a broker that is down nor a program that is killed
// loses it. The id is the order of publishing.
bool toVersion2(QSqlDatabase &db, QSqlError &error)
{
    static const char *const statements[] = {
        "CREATE TABLE outbox ("
        " id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " topic TEXT NOT NULL,"
        " payload BLOB NOT NULL,"
        " qos INTEGER NOT NULL,"
        " retained INTEGER NOT NULL,"
        " created_ms INTEGER NOT NULL,"
        " sent_ms INTEGER)",
        // Only the unsent are ever looked for, and they are few next to the sent.
        "CREATE INDEX outbox_unsent ON outbox (id) WHERE sent_ms IS NULL",
        nullptr,
    };
    return run(db, statements, error);
}

using Migration = bool (*)(QSqlDatabase &, QSqlError &);
const Migration migrations[] = {toVersion1, toVersion2};
static_assert(sizeof migrations / sizeof migrations[0] == FleetJournal::SchemaVersion,
              "one migration per schema version");

const char *const StatusColumns =
    "pc_time_ms, serial, sensor_type, sensor_clock, clock_offset_s, period_code, period_s,"
    " channel_mask, page_count, first_page, last_page, battery, rssi, relay, version, origin";

StatusEntry statusFrom(const QSqlQuery &q)
{
    StatusEntry e;
    e.pcTimeMs = q.value(0).toLongLong();
    e.serialNumber = uint16_t(q.value(1).toUInt());
    e.sensorType = q.value(2).toInt();
    e.sensorClock = QDateTime::fromString(q.value(3).toString(), ClockFormat);
    e.clockOffsetS = optionalOf(q.value(4));
    e.periodCode = q.value(5).toInt();
    e.periodSeconds = q.value(6).toInt();
    e.channelMask = q.value(7).toInt();
    e.pageCount = q.value(8).toInt();
    e.firstPage = q.value(9).toInt();
    e.lastPage = q.value(10).toInt();
    e.batteryIndex = q.value(11).toInt();
    e.rssi = q.value(12).isNull() ? -1 : q.value(12).toInt();
    e.relay = uint16_t(q.value(13).toUInt());
    e.version = q.value(14).isNull() ? -1 : q.value(14).toInt();
    e.origin = originFromText(q.value(15).toString());
    return e;
}
} // namespace

struct FleetJournal::Db {
    QString name;
    QSqlDatabase db;
    std::unique_ptr<QSqlQuery> insertStatus;
};

FleetJournal::FleetJournal() = default;

FleetJournal::~FleetJournal()
{
    close();
}

void FleetJournal::close()
{
    if (!m_db)
        return;
    const QString name = m_db->name;
    m_db->insertStatus.reset();
    m_db->db.close();
    m_db.reset();
    // Only once no handle of the connection is left, or Qt keeps it and warns.
    QSqlDatabase::removeDatabase(name);
}

bool FleetJournal::isOpen() const
{
    return m_db && !m_broken;
}

bool FleetJournal::fail(const QString &what, const QSqlError &error) const
{
    const int code = error.nativeErrorCode().toInt() & 0xFF;
    const QString why = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    const QString file = QDir::toNativeSeparators(m_path);
    qDebug() << QStringLiteral("/!\\ journal :") << what << file << code << why;
    switch (code) {
    case Busy:
    case Locked:
        // Someone else's long transaction: rest, then try again, rather than lose the journal
        // for the rest of a window that stays open for weeks.
        m_error = QStringLiteral("The journal %1 is locked by another program (%2); downloads go "
                                 "on, and the journal is tried again in a minute.")
                      .arg(file, why);
        m_restUntilMs = nowMs() + m_lockRestMs;
        return false;
    case Corrupt:
    case NotADb:
        m_error = QStringLiteral("The journal %1 is damaged (%2); downloads go on without it "
                                 "(move it aside to start a new one).")
                      .arg(file, why);
        break;
    case Full:
        m_error = QStringLiteral("The journal %1 can't be written: the disk is full; downloads "
                                 "go on without it.")
                      .arg(file);
        break;
    case ReadOnly:
    case IoErr:
    case CantOpen:
        m_error = QStringLiteral("The journal %1 can't be opened or written (%2); downloads go "
                                 "on without it.")
                      .arg(file, why);
        break;
    default:
        m_error = QStringLiteral("The journal %1 failed (%2); downloads go on without it.")
                      .arg(file, why);
        break;
    }
    m_broken = true;
    return false;
}

bool FleetJournal::usable() const
{
    if (!m_db || m_broken)
        return false;
    if (m_restUntilMs != 0) {
        if (nowMs() < m_restUntilMs)
            return false;
        m_restUntilMs = 0;
    }
    return true;
}

bool FleetJournal::open(const QString &path)
{
    close();
    m_path = path;
    m_error.clear();
    m_broken = false;
    m_restUntilMs = 0;
    // A journal that did not open is done with, whatever the reason: one locked at open rests
    // like any other, but what it never set up (the schema, the statements) stays missing.
    if (openFile(path))
        return true;
    m_broken = true;
    return false;
}

bool FleetJournal::openFile(const QString &path)
{
    const QString file = QDir::toNativeSeparators(path);
    const auto refuse = [this](const QString &text) {
        m_error = text;
        m_broken = true;
        qDebug() << QStringLiteral("/!\\ journal :") << text;
        return false;
    };

    if (!QSqlDatabase::isDriverAvailable(Driver))
        return refuse(QStringLiteral("The journal %1 can't be opened: the SQLite driver of Qt is "
                                     "not installed (libqt5sql5-sqlite); downloads go on without "
                                     "it.")
                          .arg(file));
    // SQLite itself would report a missing folder as "out of memory".
    const QFileInfo info(path);
    if (!info.absoluteDir().exists())
        return refuse(QStringLiteral("The journal %1 can't be created: the folder %2 does not "
                                     "exist; downloads go on without it.")
                          .arg(file, QDir::toNativeSeparators(info.absolutePath())));
    if (info.exists() && !info.isFile())
        return refuse(
            QStringLiteral("The journal %1 is not a file; downloads go on without it.").arg(file));

    m_db = std::make_unique<Db>();
    m_db->name = uniqueConnectionName();
    m_db->db = QSqlDatabase::addDatabase(Driver, m_db->name);
    m_db->db.setDatabaseName(path);
    m_db->db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));
    if (!m_db->db.open())
        return fail(QStringLiteral("open"), m_db->db.lastError());

    // The version first: a file of a newer program is left exactly as it is, not even switched
    // to WAL.
    QSqlQuery q(m_db->db);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
        return fail(QStringLiteral("version"), q.lastError());
    const int version = q.value(0).toInt();
    q.finish();
    if (version > SchemaVersion)
        return refuse(QStringLiteral("The journal %1 was written by a newer version of this "
                                     "program (schema %2, this one knows %3); it is left as it "
                                     "is and downloads go on without it.")
                          .arg(file)
                          .arg(version)
                          .arg(SchemaVersion));

    // WAL lets the window read while a collector writes. NORMAL syncs at checkpoints only: a
    // power cut may lose the last entries but never damages the file, and the archive, not
    // the journal, is where a collection's end is found again after a crash.
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next())
        return fail(QStringLiteral("wal"), q.lastError());
    if (q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
        qDebug() << QStringLiteral("/!\\ journal : no WAL on this file system :") << file
                 << q.value(0).toString();
    q.finish();
    if (!q.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
        return fail(QStringLiteral("synchronous"), q.lastError());
    // A damaged page anywhere is found now, not in the middle of a run: a page overwritten
    // inside a table passes every other step here. It reads the whole file once.
    if (!q.exec(QStringLiteral("PRAGMA quick_check(1)")) || !q.next())
        return fail(QStringLiteral("check"), q.lastError());
    const QString check = q.value(0).toString();
    q.finish();
    if (check != QLatin1String("ok")) {
        // "*** in database main ***\nPage 12: ..." -> the finding itself, on one line.
        const QString finding = check.section(QLatin1Char('\n'), -1).simplified().left(120);
        return fail(QStringLiteral("check"),
                    QSqlError(QString(), QStringLiteral("integrity check: %1").arg(finding),
                              QSqlError::StatementError, QString::number(Corrupt)));
    }

    if (!migrate())
        return false;
    m_db->insertStatus = std::make_unique<QSqlQuery>(m_db->db);
    if (!m_db->insertStatus->prepare(
            QStringLiteral("INSERT INTO status (%1) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)")
                .arg(QLatin1String(StatusColumns))))
        return fail(QStringLiteral("prepare"), m_db->insertStatus->lastError());
    return true;
}

bool FleetJournal::migrate()
{
    QSqlQuery q(m_db->db);
    const auto version = [&q]() -> int {
        if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
            return -1;
        const int v = q.value(0).toInt();
        q.finish();
        return v;
    };
    int v = version();
    if (v < 0)
        return fail(QStringLiteral("version"), q.lastError());
    if (v == SchemaVersion)
        return true;
    // The write lock first, then the version again: a second program opening a new file at the
    // same moment migrates it once, not twice.
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return fail(QStringLiteral("migrate"), q.lastError());
    const auto rollback = [this](const QSqlError &error) {
        QSqlQuery(m_db->db).exec(QStringLiteral("ROLLBACK"));
        return fail(QStringLiteral("migrate"), error);
    };
    v = version();
    if (v < 0 || v > SchemaVersion)
        return rollback(q.lastError());
    QSqlError error;
    for (; v < SchemaVersion; ++v)
        if (!migrations[v](m_db->db, error))
            return rollback(error);
    if (!q.exec(QStringLiteral("PRAGMA user_version=%1").arg(SchemaVersion)) ||
        !q.exec(QStringLiteral("COMMIT")))
        return rollback(q.lastError());
    return true;
}

bool FleetJournal::recordStatus(const StatusEntry &e)
{
    if (!usable())
        return false;
    QSqlQuery &q = *m_db->insertStatus;
    q.addBindValue(e.pcTimeMs);
    q.addBindValue(int(e.serialNumber));
    q.addBindValue(e.sensorType);
    q.addBindValue(e.sensorClock.isValid() ? QVariant(e.sensorClock.toString(ClockFormat))
                                           : QVariant(QVariant::String));
    q.addBindValue(optional(e.clockOffsetS));
    q.addBindValue(e.periodCode);
    q.addBindValue(e.periodSeconds);
    q.addBindValue(e.channelMask);
    q.addBindValue(e.pageCount);
    q.addBindValue(e.firstPage);
    q.addBindValue(e.lastPage);
    q.addBindValue(e.batteryIndex);
    q.addBindValue(e.rssi >= 0 ? QVariant(e.rssi) : QVariant(QVariant::Int));
    q.addBindValue(int(e.relay));
    q.addBindValue(e.version >= 0 ? QVariant(e.version) : QVariant(QVariant::Int));
    q.addBindValue(originText(e.origin));
    // One statement is one transaction of its own.
    if (!q.exec())
        return fail(QStringLiteral("status"), q.lastError());
    return true;
}

bool FleetJournal::recordCollection(const CollectionEntry &e)
{
    if (!usable())
        return false;
    QSqlQuery q(m_db->db);
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return fail(QStringLiteral("collection"), q.lastError());
    const auto rollback = [this](const QSqlError &error) {
        QSqlQuery(m_db->db).exec(QStringLiteral("ROLLBACK"));
        return fail(QStringLiteral("collection"), error);
    };
    q.prepare(QStringLiteral(
        "INSERT INTO collection (serial, started_ms, ended_ms, ask, window_from_ms, window_to_ms,"
        " pages_requested, pages_fetched, pages_rerequested, pages_refused, rows_written,"
        " outcome, archive, set_time, set_time_ms) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"));
    q.addBindValue(int(e.serialNumber));
    q.addBindValue(e.startedMs);
    q.addBindValue(e.endedMs);
    q.addBindValue(askText(e.ask));
    q.addBindValue(optional(e.windowFromMs));
    q.addBindValue(optional(e.windowToMs));
    q.addBindValue(e.pagesRequested);
    q.addBindValue(e.pagesFetched);
    q.addBindValue(e.pagesReRequested);
    q.addBindValue(e.pagesRefused);
    q.addBindValue(e.rowsWritten);
    // A null text would go in as NULL.
    q.addBindValue(e.outcome.isNull() ? QStringLiteral("") : e.outcome);
    q.addBindValue(e.archivePath.isNull() ? QStringLiteral("") : e.archivePath);
    q.addBindValue(e.setTime ? 1 : 0);
    q.addBindValue(e.setTime ? QVariant(e.setTimeMs ? e.setTimeMs : e.endedMs)
                             : QVariant(QVariant::LongLong));
    if (!q.exec())
        return rollback(q.lastError());
    const qlonglong id = q.lastInsertId().toLongLong();
    if (!e.gaps.isEmpty()) {
        q.prepare(QStringLiteral("INSERT INTO gap (collection_id, from_ms, to_ms) VALUES (?,?,?)"));
        for (const TimeGap &g : e.gaps) {
            q.addBindValue(id);
            q.addBindValue(g.fromMs);
            q.addBindValue(g.toMs);
            if (!q.exec())
                return rollback(q.lastError());
        }
    }
    if (!q.exec(QStringLiteral("COMMIT")))
        return rollback(q.lastError());
    return true;
}

QVector<StatusEntry> FleetJournal::statusHistory(uint16_t serialNumber, qint64 sinceMs) const
{
    QVector<StatusEntry> out;
    if (!usable())
        return out;
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1 FROM status WHERE serial = ? AND pc_time_ms >= ?"
                             " ORDER BY pc_time_ms, id")
                  .arg(QLatin1String(StatusColumns)));
    q.addBindValue(int(serialNumber));
    q.addBindValue(sinceMs);
    if (!q.exec()) {
        fail(QStringLiteral("history"), q.lastError());
        return out;
    }
    while (q.next())
        out << statusFrom(q);
    return out;
}

std::optional<StatusEntry> FleetJournal::lastStatus(uint16_t serialNumber) const
{
    if (!usable())
        return std::nullopt;
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral("SELECT %1 FROM status WHERE serial = ?"
                             " ORDER BY pc_time_ms DESC, id DESC LIMIT 1")
                  .arg(QLatin1String(StatusColumns)));
    q.addBindValue(int(serialNumber));
    if (!q.exec()) {
        fail(QStringLiteral("last status"), q.lastError());
        return std::nullopt;
    }
    return q.next() ? std::optional<StatusEntry>(statusFrom(q)) : std::nullopt;
}

std::optional<qint64> FleetJournal::lastSetTime(uint16_t serialNumber) const
{
    if (!usable())
        return std::nullopt;
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral("SELECT MAX(set_time_ms) FROM collection WHERE serial = ?"
                             " AND set_time = 1"));
    q.addBindValue(int(serialNumber));
    if (!q.exec()) {
        fail(QStringLiteral("set time"), q.lastError());
        return std::nullopt;
    }
    return q.next() ? optionalOf(q.value(0)) : std::nullopt;
}

std::optional<CollectionEntry> FleetJournal::lastCollection(uint16_t serialNumber) const
{
    if (!usable())
        return std::nullopt;
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral(
        "SELECT id, started_ms, ended_ms, ask, window_from_ms, window_to_ms, pages_requested,"
        " pages_fetched, pages_rerequested, pages_refused, rows_written, outcome, archive,"
        " set_time, set_time_ms FROM collection WHERE serial = ?"
        " ORDER BY ended_ms DESC, id DESC LIMIT 1"));
    q.addBindValue(int(serialNumber));
    if (!q.exec()) {
        fail(QStringLiteral("last collection"), q.lastError());
        return std::nullopt;
    }
    if (!q.next())
        return std::nullopt;
    CollectionEntry e;
    const qlonglong id = q.value(0).toLongLong();
    e.serialNumber = serialNumber;
    e.startedMs = q.value(1).toLongLong();
    e.endedMs = q.value(2).toLongLong();
    e.ask = askFromText(q.value(3).toString());
    e.windowFromMs = optionalOf(q.value(4));
    e.windowToMs = optionalOf(q.value(5));
    e.pagesRequested = q.value(6).toInt();
    e.pagesFetched = q.value(7).toInt();
    e.pagesReRequested = q.value(8).toInt();
    e.pagesRefused = q.value(9).toInt();
    e.rowsWritten = q.value(10).toLongLong();
    e.outcome = q.value(11).toString();
    e.archivePath = q.value(12).toString();
    e.setTime = q.value(13).toInt() != 0;
    e.setTimeMs = q.value(14).toLongLong();
    q.finish();
    q.prepare(QStringLiteral("SELECT from_ms, to_ms FROM gap WHERE collection_id = ?"
                             " ORDER BY from_ms"));
    q.addBindValue(id);
    if (!q.exec()) {
        fail(QStringLiteral("gaps"), q.lastError());
        return std::nullopt;
    }
    while (q.next())
        e.gaps << TimeGap{q.value(0).toLongLong(), q.value(1).toLongLong()};
    return e;
}

QVector<uint16_t> FleetJournal::sensors() const
{
    QVector<uint16_t> out;
    if (!usable())
        return out;
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral(
            "SELECT serial FROM status UNION SELECT serial FROM collection ORDER BY 1"))) {
        fail(QStringLiteral("sensors"), q.lastError());
        return out;
    }
    while (q.next())
        out << uint16_t(q.value(0).toUInt());
    return out;
}

health::Facts FleetJournal::healthFacts(uint16_t serialNumber) const
{
    health::Facts f;
    f.last = lastStatus(serialNumber);
    if (!f.last)
        return f;
    f.history =
        statusHistory(serialNumber, f.last->pcTimeMs - qint64(health::TrendWindowDays) * 86400000);
    f.setTimeMs = lastSetTime(serialNumber);
    if (f.setTimeMs && usable()) {
        QSqlQuery q(m_db->db);
        q.prepare(QStringLiteral("SELECT clock_offset_s FROM status WHERE serial = ?"
                                 " AND pc_time_ms >= ? AND clock_offset_s IS NOT NULL"
                                 " ORDER BY pc_time_ms, id LIMIT 1"));
        q.addBindValue(int(serialNumber));
        q.addBindValue(*f.setTimeMs);
        if (!q.exec())
            fail(QStringLiteral("offset after set"), q.lastError());
        else if (q.next())
            f.offsetAfterSetS = q.value(0).toLongLong();
    }
    return f;
}

bool FleetJournal::enqueue(const QString &topic, const QByteArray &payload, bool retained, int qos)
{
    if (!usable())
        return false;
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral("INSERT INTO outbox (topic, payload, qos, retained, created_ms)"
                             " VALUES (?,?,?,?,?)"));
    q.addBindValue(topic);
    // An empty payload would go in as NULL.
    q.addBindValue(payload.isNull() ? QByteArray("") : payload);
    q.addBindValue(qos);
    q.addBindValue(retained ? 1 : 0);
    q.addBindValue(nowMs());
    if (!q.exec())
        return fail(QStringLiteral("outbox"), q.lastError());
    return true;
}

bool FleetJournal::enqueue(const QString &topic, const QVector<QByteArray> &payloads,
                           bool retained, int qos)
{
    if (payloads.isEmpty())
        return true;
    if (!usable())
        return false;
    if (!m_db->db.transaction())
        return fail(QStringLiteral("outbox"), m_db->db.lastError());
    for (const QByteArray &payload : payloads)
        if (!enqueue(topic, payload, retained, qos)) {
            m_db->db.rollback();
            return false;
        }
    if (!m_db->db.commit()) {
        const QSqlError error = m_db->db.lastError();
        m_db->db.rollback();
        return fail(QStringLiteral("outbox"), error);
    }
    return true;
}

QVector<OutboxMessage> FleetJournal::pending(int limit, qint64 afterId) const
{
    QVector<OutboxMessage> out;
    if (!usable())
        return out;
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT id, topic, payload, qos, retained, created_ms FROM outbox"
                             " WHERE sent_ms IS NULL AND id > ? ORDER BY id LIMIT ?"));
    q.addBindValue(afterId);
    q.addBindValue(limit);
    if (!q.exec()) {
        fail(QStringLiteral("outbox"), q.lastError());
        return out;
    }
    while (q.next()) {
        OutboxMessage m;
        m.id = q.value(0).toLongLong();
        m.topic = q.value(1).toString();
        m.payload = q.value(2).toByteArray();
        m.qos = q.value(3).toInt();
        m.retained = q.value(4).toInt() != 0;
        m.createdMs = q.value(5).toLongLong();
        out << m;
    }
    return out;
}

int FleetJournal::pendingCount() const
{
    if (!usable())
        return 0;
    QSqlQuery q(m_db->db);
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM outbox WHERE sent_ms IS NULL")) || !q.next()) {
        fail(QStringLiteral("outbox"), q.lastError());
        return 0;
    }
    return q.value(0).toInt();
}

int FleetJournal::pruneSent(qint64 beforeMs)
{
    if (!usable())
        return -1;
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral("DELETE FROM outbox WHERE sent_ms IS NOT NULL AND sent_ms < ?"));
    q.addBindValue(beforeMs);
    if (!q.exec()) {
        fail(QStringLiteral("outbox"), q.lastError());
        return -1;
    }
    return q.numRowsAffected();
}

bool FleetJournal::markSent(qint64 id)
{
    if (!usable())
        return false;
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral("UPDATE outbox SET sent_ms = ? WHERE id = ? AND sent_ms IS NULL"));
    q.addBindValue(nowMs());
    q.addBindValue(id);
    if (!q.exec())
        return fail(QStringLiteral("outbox"), q.lastError());
    return true;
}
