#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <chrono>
#include <memory>

class QueueModel;
struct QueueEntry;

// The journal of a running session: the whole queue, every entry's record
// with its state, error text and times, kept beside the queue file
// ("project.xml.journal") so that a killed process loses nothing. It is
// rewritten shortly after every change to the queue and at once when an
// entry finishes, owner-only (it holds passwords) and through a temporary
// file, so a kill leaves either the old journal or the new one. A clean end
// writes the queue file as before and removes the journal: a journal found
// at start means the last session did not end cleanly.
class QueueJournal final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QueueJournal)

public:
    // Changes closer together than this are written once.
    static constexpr std::chrono::milliseconds kDelay{500};

    struct Restored
    {
        bool queued = false; // the queue holds entries now
        bool fromJournal = false;
        QString warning; // a damaged journal, refused; empty otherwise
    };

    static QString pathFor(const QString &queueFile);

    // Fills the queue for a start: from the journal beside `queueFile` when
    // the last session left one, else (when `readQueueFile`) from the queue
    // file. Restored entries keep their state, error and times, except that
    // one that was running or open for editing is waiting again. A damaged
    // journal is refused as a whole and the queue file is read instead.
    static Restored Restore(const QString &queueFile, QueueModel &queue, bool readQueueFile = true);

    // Starts journaling `queue`; the journal is first written at its first change.
    QueueJournal(QueueModel &queue, const QString &queueFile, QObject *parent = nullptr);
    ~QueueJournal() override;

    QString path() const { return m_path; }
    // Writes the queue now, on the loop; false when the file could not be
    // written. Changes are otherwise written on the thread pool.
    bool write();
    // The session ended cleanly (the queue file says what is kept): the
    // journal is removed and no longer written.
    void discard();

private:
    struct Disk;
    static bool store(Disk &disk, quint64 generation, const QString &path, const QList<QueueEntry> &entries);
    void changed(int first, int last, const QList<int> &roles);
    void schedule();
    void writeLater();

    QueueModel &m_queue;
    QString m_path;
    QTimer m_timer;
    QSet<QString> m_finished; // keys of the entries written as finished
    std::shared_ptr<Disk> m_disk;
    quint64 m_generation = 0;
    bool m_discarded = false;
};
