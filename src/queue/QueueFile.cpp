#include "queue/QueueFile.h"

#include "common/FileUtil.h"
#include "common/XmlUtil.h"
#include "platform/AppPaths.h"
#include "queue/QueueModel.h"

#include <QFileInfo>
#include <array>
#include <cstring>
#include <optional>

namespace QueueFile {

namespace {

const char *const kFieldOrder[] = {
    "fileName",    "title",       "Author",           "state",          "path",
    "duration",    "secDuration", "videoWidth",       "videoHeight",    "vBitRate",
    "aBitRate",    "Url",         "account",          "password",       "folderID",
    "contentID",   "folderName",  "sysVer",           "bEncPassword",   "dstCvtType",
    "dstResType",  "dstPostfix",  "srcVideoWidth",    "srcVideoHeight", "customBps",
    "bInterlaced", "fileSize",    "dateLastModified", "OverwriteUrl",   "useTmpName"};

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

constexpr size_t kFieldCount = std::size(kFieldOrder);

// Reads the fields of one `file`; a missing required field or a bad number
// makes the whole entry unreadable. The children are walked once: a queue
// file is written in field order, so the next name is nearly always the one
// expected.
class FieldReader
{
public:
    explicit FieldReader(const pugi::xml_node &file)
    {
        size_t expected = 0;
        for (const pugi::xml_node &child : file.children()) {
            const size_t index = fieldIndex(child.name(), expected);
            if (index < kFieldCount && !m_nodes[index])
                m_nodes[index] = child;
            expected = index + 1;
        }
    }
    bool ok() const { return m_ok; }

    QString text(size_t field)
    {
        if (!m_nodes[field])
            m_ok = false;
        return optionalText(field);
    }
    QString optionalText(size_t field) const { return Xml::toQ(m_nodes[field].text().get()); }
    qint32 int32(size_t field) { return static_cast<qint32>(number(field, true)); }
    qint64 int64(size_t field) { return number(field, false); }
    bool flag(size_t field)
    {
        const QString value = text(field).trimmed();
        return parseFlag(value, m_ok);
    }
    bool optionalFlag(size_t field) const
    {
        bool ok = true;
        const bool value = parseFlag(optionalText(field).trimmed(), ok);
        return ok && value;
    }

private:
    static size_t fieldIndex(const char *name, size_t expected)
    {
        if (expected < kFieldCount && std::strcmp(name, kFieldOrder[expected]) == 0)
            return expected;
        for (size_t i = 0; i < kFieldCount; ++i) {
            if (std::strcmp(name, kFieldOrder[i]) == 0)
                return i;
        }
        return kFieldCount;
    }

    static bool parseFlag(const QString &value, bool &ok)
    {
        if (value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
            return true;
        if (value.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0 || value.isEmpty())
            return false;
        bool numeric = false;
        const qint64 n = value.toLongLong(&numeric);
        if (!numeric)
            ok = false;
        return numeric && n != 0;
    }

    qint64 number(size_t field, bool narrow)
    {
        bool numeric = false;
        const qint64 n = text(field).trimmed().toLongLong(&numeric);
        if (!numeric || (narrow && (n < INT32_MIN || n > INT32_MAX)))
            m_ok = false;
        return n;
    }

    std::array<pugi::xml_node, kFieldCount> m_nodes{};
    bool m_ok = true;
};

// Field positions in the record (and in the file).
enum Field : size_t
{
    FileName,
    Title,
    Author,
    State,
    Path,
    Duration,
    SecDuration,
    VideoWidth,
    VideoHeight,
    VBitRate,
    ABitRate,
    Url,
    Account,
    Password,
    FolderID,
    ContentID,
    FolderName,
    SysVer,
    BEncPassword,
    DstCvtType,
    DstResType,
    DstPostfix,
    SrcVideoWidth,
    SrcVideoHeight,
    CustomBps,
    BInterlaced,
    FileSize,
    DateLastModified,
    OverwriteUrl,
    UseTmpName
};

} // namespace

std::optional<CVideoItem> ReadRecord(const pugi::xml_node &file)
{
    FieldReader r(file);
    CVideoItem item;
    item.fileName = r.text(FileName);
    item.title = r.text(Title);
    item.Author = r.text(Author);
    r.text(State); // required, but the entry starts waiting whatever it says
    item.path = r.text(Path);
    item.duration = r.text(Duration);
    item.secDuration = r.int32(SecDuration);
    item.videoWidth = r.int32(VideoWidth);
    item.videoHeight = r.int32(VideoHeight);
    item.vBitRate = r.text(VBitRate);
    item.aBitRate = r.text(ABitRate);
    item.Url = r.text(Url);
    item.account = r.text(Account);
    item.password = r.text(Password);
    item.folderID = r.text(FolderID);
    item.contentID = r.text(ContentID);
    item.folderName = r.text(FolderName);
    item.sysVer = r.text(SysVer);
    item.bEncPassword = r.flag(BEncPassword);
    item.dstCvtType = r.int32(DstCvtType);
    item.dstResType = r.int32(DstResType);
    item.dstPostfix = r.text(DstPostfix);
    item.srcVideoWidth = r.int32(SrcVideoWidth);
    item.srcVideoHeight = r.int32(SrcVideoHeight);
    item.customBps = r.int32(CustomBps);
    item.bInterlaced = r.flag(BInterlaced);
    item.fileSize = r.int64(FileSize);
    item.dateLastModified = r.text(DateLastModified);
    item.OverwriteUrl = r.optionalText(OverwriteUrl);
    item.useTmpName = r.optionalFlag(UseTmpName);
    if (!r.ok())
        return std::nullopt;
    return item;
}

void WriteRecord(pugi::xml_node queue, const CVideoItem &item)
{
    const QString values[] = {item.fileName,
                              item.title,
                              item.Author,
                              item.state ? stateText(*item.state) : QString(),
                              item.path,
                              item.duration,
                              QString::number(item.secDuration),
                              QString::number(item.videoWidth),
                              QString::number(item.videoHeight),
                              item.vBitRate,
                              item.aBitRate,
                              item.Url,
                              item.account,
                              item.password,
                              item.folderID,
                              item.contentID,
                              item.folderName,
                              item.sysVer,
                              boolText(item.bEncPassword),
                              QString::number(item.dstCvtType),
                              QString::number(item.dstResType),
                              item.dstPostfix,
                              QString::number(item.srcVideoWidth),
                              QString::number(item.srcVideoHeight),
                              QString::number(item.customBps),
                              boolText(item.bInterlaced),
                              QString::number(item.fileSize),
                              item.dateLastModified,
                              item.OverwriteUrl,
                              boolText(item.useTmpName)};
    pugi::xml_node file = queue.append_child("file");
    for (size_t i = 0; i < std::size(kFieldOrder); ++i)
        file.append_child(kFieldOrder[i]).text().set(Xml::toU8(values[i]).constData());
}

QString defaultPath()
{
    return AppPaths::dataPath(QStringLiteral("project.xml"));
}

bool LoadQueue(const QString &path, QueueModel &queue)
{
    if (!QFileInfo::exists(path))
        return false;
    pugi::xml_document doc;
    Xml::parseFile(doc, path);
    const pugi::xml_node queueNode = doc.child("clipferry").child("queue");
    if (!queueNode) {
        DeleteFileIfExists(path);
        return false;
    }
    for (const pugi::xml_node &file : queueNode.children()) {
        if (file.type() != pugi::node_element)
            continue;
        // An entry already queued under the same path is not added again.
        if (const std::optional<CVideoItem> item = ReadRecord(file))
            queue.Add(*item);
    }
    return true;
}

bool SaveQueue(const QString &path, const QueueModel &queue)
{
    pugi::xml_document doc;
    Xml::parseText(
        doc,
        QByteArrayLiteral("<?xml version=\"1.0\"?><clipferry ver=\"2.120222\"><queue></queue></clipferry>"));
    pugi::xml_node queueNode = doc.child("clipferry").child("queue");
    int written = 0;
    for (const QueueEntry &entry : queue.entries()) {
        if (entry.state == EntryState::Finished)
            continue;
        WriteRecord(queueNode, entry.item);
        ++written;
    }
    if (written == 0)
        return DeleteFileIfExists(path);
    const QByteArray laidOut =
        LayOutQueueText(Xml::serialize(doc, pugi::format_raw | pugi::format_no_empty_element_tags));
    return Xml::writeFileAtomic(path, laidOut, true);
}

QString TagNameAt(const QString &text, qsizetype position)
{
    if (position < 0 || position >= text.size())
        return {};
    QString name;
    if (text.at(position) == u'<') {
        const qsizetype end = text.indexOf(u'>', position + 1);
        name = text.mid(position + 1, end < 0 ? -1 : end - position - 1);
    } else if (text.at(position) == u'>') {
        const qsizetype start = text.lastIndexOf(u'<', position);
        name = text.mid(start + 1, position - start - 1);
    }
    return name.remove(u'/');
}

namespace {
// The name of the tag that ends at `gt` or starts at `lt`, without its "/"
// characters, compared without copying: the layout runs over megabytes.
QByteArrayView tagEndingAt(const QByteArray &text, qsizetype gt)
{
    const qsizetype lt = text.lastIndexOf('<', gt);
    return QByteArrayView(text).sliced(lt + 1, gt - lt - 1);
}

QByteArrayView tagStartingAt(const QByteArray &text, qsizetype lt)
{
    qsizetype gt = text.indexOf('>', lt + 1);
    if (gt < 0)
        gt = text.size();
    return QByteArrayView(text).sliced(lt + 1, gt - lt - 1);
}

bool sameNameIgnoringSlashes(QByteArrayView a, QByteArrayView b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    for (;;) {
        while (i < a.size() && a[i] == '/')
            ++i;
        while (j < b.size() && b[j] == '/')
            ++j;
        if (i == a.size() || j == b.size())
            return i == a.size() && j == b.size();
        if (a[i++] != b[j++])
            return false;
    }
}
} // namespace

QByteArray LayOutQueueText(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size() + text.size() / 10);
    qsizetype copied = 0;
    for (qsizetype i = text.indexOf("><"); i >= 0; i = text.indexOf("><", i + 1)) {
        out.append(QByteArrayView(text).sliced(copied, i + 1 - copied));
        copied = i + 1;
        const bool sameName = sameNameIgnoringSlashes(tagEndingAt(text, i), tagStartingAt(text, i + 1));
        const bool closesIt = i + 2 < text.size() && text.at(i + 2) == '/';
        if (!sameName || !closesIt)
            out.append("\r\n");
    }
    out.append(QByteArrayView(text).sliced(copied));
    return out;
}

} // namespace QueueFile
