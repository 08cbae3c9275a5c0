#pragma once

#include "health.h"
#include "journalentries.h"

#include <QByteArray>
#include <QString>
#include <QVector>
#include <memory>
#include <optional>

class QSqlError;

// A message waiting in the outbox for the broker's acknowledgement.
struct OutboxMessage {
    qint64 id = 0; // ascending in the order the messages were made
    QString topic;
    QByteArray payload;
    int qos = 1;
    bool retained = false;
    qint64 createdMs = 0;
};

// The fleet journal: every status answer and every collection, in an SQLite file shared by the
// window and a scheduled collector (WAL, so readers never wait for the writer). The journal
// comes second to the data files: whatever goes wrong with it (a damaged, locked, foreign or
// newer file, a full disk) makes open() or a record call return false with a sentence for the
// operator in errorText(), and from then on every call is a cheap no-op. It never repairs,
// recreates or deletes a file it cannot use: what is in it stays for the operator to rescue.
//
// Not thread-safe: one object per thread, any number of objects and processes per file.
class FleetJournal
{
public:
    // The schema this program writes. A file of a higher version is refused untouched.
    static constexpr int SchemaVersion = 2;
    // How long a write waits for another writer before the call gives up.
    static constexpr int BusyTimeoutMs = 2000;
    // After a lock that outlasted the busy time-out, calls are no-ops for this long rather than
    // each waiting the time-out again in the middle of a download.
    static constexpr int LockRestMs = 60000;

    static QString defaultFileName() { return QStringLiteral("journal.sqlite"); }

    FleetJournal();
    ~FleetJournal();
    FleetJournal(const FleetJournal &) = delete;
    FleetJournal &operator=(const FleetJournal &) = delete;

    // Opens (creating when absent) and migrates the file. False with errorText() otherwise.
    bool open(const QString &path);
    void close();
    bool isOpen() const;
    QString path() const { return m_path; }
    // Empty while all is well; else the latest failure as one sentence for the operator.
    QString errorText() const { return m_error; }

    // Each in its own short transaction. False when the journal is not usable (see above).
    bool recordStatus(const StatusEntry &entry);
    bool recordCollection(const CollectionEntry &entry);

    // Oldest first; entries at or after sinceMs.
    QVector<StatusEntry> statusHistory(uint16_t serialNumber, qint64 sinceMs = 0) const;
    std::optional<StatusEntry> lastStatus(uint16_t serialNumber) const;
    // When the sensor's clock was last set by a recorded run (UTC ms).
    std::optional<qint64> lastSetTime(uint16_t serialNumber) const;
    std::optional<CollectionEntry> lastCollection(uint16_t serialNumber) const;
    // Every serial number with a status or a collection, ascending.
    QVector<uint16_t> sensors() const;

    // What the health computations need for one sensor: its last status, the history of the
    // trend window, the last Set Time and the offset first heard after it. The uncollected
    // page count is left to the caller, who knows the archive.
    health::Facts healthFacts(uint16_t serialNumber) const;

    // The publisher's outbox, shared by every program on the file. A message goes in before
    // anyone tries to send it and is marked sent only once the broker has it.
    bool enqueue(const QString &topic, const QByteArray &payload, bool retained, int qos = 1);
    // All of them or none, in order, in one transaction: many at once cost one commit.
    bool enqueue(const QString &topic, const QVector<QByteArray> &payloads, bool retained,
                 int qos = 1);
    // The unsent, oldest first, after the id given (those before are in flight already).
    QVector<OutboxMessage> pending(int limit, qint64 afterId = 0) const;
    int pendingCount() const;
    bool markSent(qint64 id);
    // Forgets the messages the broker acknowledged before `beforeMs`; the number forgotten, or
    // -1 when the journal failed. Ids are never given again, so a publisher's place holds.
    int pruneSent(qint64 beforeMs);

    // Tests shorten the rest after a lock.
    void setLockRest(int ms) { m_lockRestMs = ms; }

private:
    struct Db;
    bool usable() const;
    bool fail(const QString &what, const QSqlError &error) const;
    bool openFile(const QString &path);
    bool migrate();

    std::unique_ptr<Db> m_db;
    QString m_path;
    mutable QString m_error;
    mutable bool m_broken = false;
    mutable qint64 m_restUntilMs = 0;
    int m_lockRestMs = LockRestMs;
};
