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

QByteArray boolText(bool value)
{
    return value ? QByteArrayLiteral("true") : QByteArrayLiteral("false");
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
        // The bytes first: a saved queue holds plain digits; other spaces go through the text.
        qint64 n = QByteArrayView(m_nodes[field].text().get()).trimmed().toLongLong(&numeric);
        if (!numeric)
            n = text(field).trimmed().toLongLong(&numeric);
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

namespace {

// The record's fields in file order, as UTF-8.
std::array<QByteArray, kFieldCount> fieldTexts(const CVideoItem &item)
{
    return {item.fileName.toUtf8(),
            item.title.toUtf8(),
            item.Author.toUtf8(),
            item.state ? stateText(*item.state).toUtf8() : QByteArray(),
            item.path.toUtf8(),
            item.duration.toUtf8(),
            QByteArray::number(item.secDuration),
            QByteArray::number(item.videoWidth),
            QByteArray::number(item.videoHeight),
            item.vBitRate.toUtf8(),
            item.aBitRate.toUtf8(),
            item.Url.toUtf8(),
            item.account.toUtf8(),
            item.password.toUtf8(),
            item.folderID.toUtf8(),
            item.contentID.toUtf8(),
            item.folderName.toUtf8(),
            item.sysVer.toUtf8(),
            boolText(item.bEncPassword),
            QByteArray::number(item.dstCvtType),
            QByteArray::number(item.dstResType),
            item.dstPostfix.toUtf8(),
            QByteArray::number(item.srcVideoWidth),
            QByteArray::number(item.srcVideoHeight),
            QByteArray::number(item.customBps),
            boolText(item.bInterlaced),
            QByteArray::number(item.fileSize),
            item.dateLastModified.toUtf8(),
            item.OverwriteUrl.toUtf8(),
            boolText(item.useTmpName)};
}

// Element text escaped as pugixml escapes it, so that a saved file reads the
// same whichever writer made it: the markup characters, and control
// characters other than tab, line feed and carriage return as two-digit
// references. A text ends at its first NUL, as a C string would.
void appendEscaped(QByteArray &out, QByteArrayView text)
{
    const char *run = text.data();
    const char *const end = text.data() + text.size();
    for (const char *p = run; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 32 && c != '&' && c != '<' && c != '>')
            continue;
        if (c == '\t' || c == '\n' || c == '\r')
            continue;
        out.append(run, p - run);
        run = p + 1;
        if (c == 0)
            return;
        if (c == '&')
            out.append("&amp;");
        else if (c == '<')
            out.append("&lt;");
        else if (c == '>')
            out.append("&gt;");
        else
            out.append("&#")
                .append(static_cast<char>('0' + c / 10))
                .append(static_cast<char>('0' + c % 10))
                .append(';');
    }
    out.append(run, end - run);
}

// One record in the file's layout: a tag a line, an element's text between
// its start and end tag, an empty element on one line.
void appendRecord(QByteArray &out, const CVideoItem &item)
{
    out.append("<file>\r\n");
    const std::array<QByteArray, kFieldCount> texts = fieldTexts(item);
    for (size_t i = 0; i < kFieldCount; ++i) {
        out.append('<').append(kFieldOrder[i]).append('>');
        appendEscaped(out, texts[i]);
        out.append("</").append(kFieldOrder[i]).append(">\r\n");
    }
    out.append("</file>\r\n");
}

} // namespace

void WriteRecord(pugi::xml_node queue, const CVideoItem &item)
{
    const std::array<QByteArray, kFieldCount> texts = fieldTexts(item);
    pugi::xml_node file = queue.append_child("file");
    for (size_t i = 0; i < kFieldCount; ++i)
        file.append_child(kFieldOrder[i]).text().set(texts[i].constData());
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
    // Written directly rather than through a document: the file is flat, and
    // a queue of thousands of entries is saved after every change.
    QByteArray out;
    out.reserve(1024 + queue.count() * 1200);
    out.append("<?xml version=\"1.0\"?>\r\n<clipferry ver=\"2.120222\">\r\n<queue>\r\n");
    int written = 0;
    for (const QueueEntry &entry : queue.entries()) {
        if (entry.state == EntryState::Finished)
            continue;
        appendRecord(out, entry.item);
        ++written;
    }
    if (written == 0)
        return DeleteFileIfExists(path);
    out.append("</queue>\r\n</clipferry>");
    return Xml::writeFileAtomic(path, out, true);
}

} // namespace QueueFile
