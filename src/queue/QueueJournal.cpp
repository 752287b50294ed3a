#include "queue/QueueJournal.h"

#include "common/FileUtil.h"
#include "common/XmlUtil.h"
#include "queue/QueueFile.h"
#include "queue/QueueModel.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QThreadPool>
#include <limits>
#include <optional>

Q_LOGGING_CATEGORY(lcJournal, "clipferry.journal")

namespace {

// Layout: root `clipferryJournal`, one `entry` per queue entry in queue
// order; its attributes hold the key (the path as given), the state and the
// texts of the error and time columns, its child the queue file's `file`
// record. The attributes keep the record itself byte for byte as the queue
// file writes it.
constexpr const char *kRoot = "clipferryJournal";

struct TextColumn
{
    const char *attribute;
    int column;
    QString QueueEntry::*field;
};
const TextColumn kTextColumns[] = {
    {"error", QueueModel::ColError, &QueueEntry::error},
    {"cvtBegin", QueueModel::ColCvtBeginTime, &QueueEntry::cvtBeginTime},
    {"cvtEnd", QueueModel::ColCvtEndTime, &QueueEntry::cvtEndTime},
    {"uploadBegin", QueueModel::ColUploadBeginTime, &QueueEntry::uploadBeginTime},
    {"uploadEnd", QueueModel::ColUploadEndTime, &QueueEntry::uploadEndTime}};

// A state the killed session left that no process carries on.
EntryState stateAfterRestart(EntryState state, std::optional<EntryState> beforeEdit)
{
    if (state == EntryState::Editing)
        state = beforeEdit.value_or(EntryState::Waiting);
    return state == EntryState::Transfering || state == EntryState::Editing ? EntryState::Waiting : state;
}

struct JournalEntry
{
    CVideoItem item;
    EntryState state = EntryState::Waiting;
    QString texts[std::size(kTextColumns)];
};

// The whole journal, or the reason it cannot be trusted: one unreadable
// entry refuses all of it, since the queue file is the safer whole.
std::optional<QList<JournalEntry>> readJournal(const QString &path, QString &error)
{
    pugi::xml_document doc;
    if (const Xml::ParseResult parsed = Xml::parseFile(doc, path); !parsed) {
        error = parsed.error;
        return std::nullopt;
    }
    const pugi::xml_node root = doc.child(kRoot);
    if (!root) {
        error = QStringLiteral("no %1 element").arg(QLatin1String(kRoot));
        return std::nullopt;
    }
    QList<JournalEntry> entries;
    for (const pugi::xml_node &node : root.children("entry")) {
        JournalEntry entry;
        const std::optional<CVideoItem> item = QueueFile::ReadRecord(node.child("file"));
        const std::optional<EntryState> state = stateOfText(Xml::toQ(node.attribute("state").value()));
        if (!item || !state) {
            error = QStringLiteral("entry %1 is unreadable").arg(entries.size() + 1);
            return std::nullopt;
        }
        entry.item = *item;
        entry.item.path = Xml::toQ(node.attribute("key").value());
        entry.item.state = stateOfText(Xml::toQ(node.child("file").child_value("state")));
        entry.state = stateAfterRestart(*state, entry.item.state);
        for (size_t i = 0; i < std::size(kTextColumns); ++i)
            entry.texts[i] = Xml::toQ(node.attribute(kTextColumns[i].attribute).value());
        entries.append(std::move(entry));
    }
    return entries;
}

QByteArray journalText(const QList<QueueEntry> &entries)
{
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child(kRoot);
    for (const QueueEntry &entry : entries) {
        pugi::xml_node node = root.append_child("entry");
        node.append_attribute("key").set_value(Xml::toU8(entry.key).constData());
        node.append_attribute("state").set_value(Xml::toU8(stateText(entry.state)).constData());
        for (const TextColumn &text : kTextColumns) {
            const QString &value = entry.*text.field;
            if (!value.isEmpty())
                node.append_attribute(text.attribute).set_value(Xml::toU8(value).constData());
        }
        QueueFile::WriteRecord(node, entry.item);
    }
    return Xml::serialize(doc);
}

} // namespace

// Writes may run on the thread pool and the loop at once; one at a time
// reaches the disk, and one older than what is there is dropped.
struct QueueJournal::Disk
{
    QMutex mutex;
    quint64 written = 0;
};

bool QueueJournal::store(Disk &disk, quint64 generation, const QString &path,
                         const QList<QueueEntry> &entries)
{
    const QMutexLocker lock(&disk.mutex);
    if (generation <= disk.written)
        return true;
    if (!Xml::writeFileAtomic(path, journalText(entries), true)) {
        qCWarning(lcJournal).noquote() << "cannot write" << path;
        return false;
    }
    disk.written = generation;
    return true;
}

QString QueueJournal::pathFor(const QString &queueFile)
{
    return queueFile + QStringLiteral(".journal");
}

QueueJournal::Restored QueueJournal::Restore(const QString &queueFile, QueueModel &queue, bool readQueueFile)
{
    Restored restored;
    const QString journal = pathFor(queueFile);
    if (QFileInfo::exists(journal)) {
        QString error;
        if (const std::optional<QList<JournalEntry>> entries = readJournal(journal, error)) {
            for (const JournalEntry &entry : *entries) {
                if (!queue.Add(entry.item))
                    continue;
                queue.SetEntryState(entry.item.path, entry.state);
                for (size_t i = 0; i < std::size(kTextColumns); ++i)
                    queue.SetEntryCell(entry.item.path, kTextColumns[i].column, entry.texts[i]);
            }
            restored.fromJournal = true;
            restored.queued = queue.count() > 0;
            qCInfo(lcJournal).noquote() << "restored" << entries->size() << "entries from" << journal;
            return restored;
        }
        restored.warning = QStringLiteral("The queue journal %1 is damaged (%2); the queue saved at the last "
                                          "close is used instead.")
                               .arg(QDir::toNativeSeparators(journal), error);
        qCWarning(lcJournal).noquote() << restored.warning;
    }
    if (readQueueFile)
        restored.queued = QueueFile::LoadQueue(queueFile, queue);
    return restored;
}

QueueJournal::QueueJournal(QueueModel &queue, const QString &queueFile, QObject *parent)
    : QObject(parent), m_queue(queue), m_path(pathFor(queueFile)), m_disk(std::make_shared<Disk>())
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(kDelay);
    connect(&m_timer, &QTimer::timeout, this, &QueueJournal::writeLater);
    for (const QueueEntry &entry : queue.entries()) {
        if (entry.state == EntryState::Finished)
            m_finished.insert(entry.key);
    }
    connect(&queue, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &from, const QModelIndex &to, const QList<int> &roles) {
                changed(from.row(), to.row(), roles);
            });
    connect(&queue, &QAbstractItemModel::rowsInserted, this, &QueueJournal::schedule);
    connect(&queue, &QAbstractItemModel::rowsRemoved, this, &QueueJournal::schedule);
    connect(&queue, &QAbstractItemModel::rowsMoved, this, &QueueJournal::schedule);
    connect(&queue, &QAbstractItemModel::modelReset, this, &QueueJournal::schedule);
    connect(&queue, &QAbstractItemModel::layoutChanged, this, &QueueJournal::schedule);
}

QueueJournal::~QueueJournal() = default;

void QueueJournal::changed(int first, int last, const QList<int> &roles)
{
    // Progress moves many times a second and comes back from nothing.
    if (roles == QList<int>{QueueModel::ProgressRole})
        return;
    bool finishedNow = false;
    for (int row = std::max(first, 0); row <= last && row < m_queue.count(); ++row) {
        const QueueEntry &entry = m_queue.entryAt(row);
        if (entry.state != EntryState::Finished)
            m_finished.remove(entry.key);
        else if (!m_finished.contains(entry.key)) {
            m_finished.insert(entry.key);
            finishedNow = true;
        }
    }
    // A finished entry must never be sent again: it is written before
    // anything else hears of it.
    if (finishedNow)
        write();
    else
        schedule();
}

void QueueJournal::schedule()
{
    // Not restarted by later changes, so a busy queue is still written
    // within the delay of its first change.
    if (!m_discarded && !m_timer.isActive())
        m_timer.start();
}

void QueueJournal::writeLater()
{
    if (m_discarded)
        return;
    // The list is shared, not copied: the queue's next change detaches it.
    QList<QueueEntry> snapshot = m_queue.entries();
    QThreadPool::globalInstance()->start(
        [disk = m_disk, generation = ++m_generation, path = m_path, snapshot = std::move(snapshot)] {
            store(*disk, generation, path, snapshot);
        });
}

bool QueueJournal::write()
{
    m_timer.stop();
    return !m_discarded && store(*m_disk, ++m_generation, m_path, m_queue.entries());
}

void QueueJournal::discard()
{
    m_discarded = true;
    m_timer.stop();
    // A write still running finishes first; none after it may write again.
    const QMutexLocker lock(&m_disk->mutex);
    m_disk->written = std::numeric_limits<quint64>::max();
    DeleteFileIfExists(m_path);
}
