#include "queue/QueueFile.h"

#include "common/FileUtil.h"
#include "common/XmlUtil.h"
#include "platform/AppPaths.h"
#include "queue/CVideoList.h"
#include "queue/QueueModel.h"

#include <QFileInfo>

#include <optional>

namespace QueueFile {

namespace {

const char *const kFieldOrder[] = {
    "fileName",  "title",          "Author",     "state",       "path",         "duration",
    "secDuration", "videoWidth",   "videoHeight", "vBitRate",   "aBitRate",     "Url",
    "account",   "password",       "folderID",   "contentID",   "folderName",   "sysVer",
    "bEncPassword", "dstCvtType",  "dstResType", "dstPostfix",  "srcVideoWidth", "srcVideoHeight",
    "customBps", "bInterlaced",    "fileSize",   "dateLastModified", "OverwriteUrl", "useTmpName"};

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// Reads the required elements of one `file`; a missing one or a bad number
// makes the whole entry unreadable.
class FieldReader
{
public:
    explicit FieldReader(const pugi::xml_node &file) : m_file(file) {}
    bool ok() const { return m_ok; }

    QString text(const char *name)
    {
        const pugi::xml_node node = m_file.child(name);
        if (!node)
            m_ok = false;
        return Xml::toQ(node.text().get());
    }
    QString optionalText(const char *name) { return Xml::toQ(m_file.child(name).text().get()); }
    qint32 int32(const char *name) { return static_cast<qint32>(number(name, true)); }
    qint64 int64(const char *name) { return number(name, false); }
    bool flag(const char *name)
    {
        const QString value = text(name).trimmed();
        return parseFlag(value, m_ok);
    }
    bool optionalFlag(const char *name)
    {
        bool ok = true;
        const bool value = parseFlag(optionalText(name).trimmed(), ok);
        return ok && value;
    }

private:
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

    qint64 number(const char *name, bool narrow)
    {
        bool numeric = false;
        const qint64 n = text(name).trimmed().toLongLong(&numeric);
        if (!numeric || (narrow && (n < INT32_MIN || n > INT32_MAX)))
            m_ok = false;
        return n;
    }

    pugi::xml_node m_file;
    bool m_ok = true;
};

std::optional<CVideoItem> readEntry(const pugi::xml_node &file)
{
    FieldReader r(file);
    CVideoItem item;
    item.fileName = r.text("fileName");
    item.title = r.text("title");
    item.Author = r.text("Author");
    r.text("state"); // present, but the row starts "Waiting" whatever it says
    item.path = r.text("path");
    item.duration = r.text("duration");
    item.secDuration = r.int32("secDuration");
    item.videoWidth = r.int32("videoWidth");
    item.videoHeight = r.int32("videoHeight");
    item.vBitRate = r.text("vBitRate");
    item.aBitRate = r.text("aBitRate");
    item.Url = r.text("Url");
    item.account = r.text("account");
    item.password = r.text("password");
    item.folderID = r.text("folderID");
    item.contentID = r.text("contentID");
    item.folderName = r.text("folderName");
    item.sysVer = r.text("sysVer");
    item.bEncPassword = r.flag("bEncPassword");
    item.dstCvtType = r.int32("dstCvtType");
    item.dstResType = r.int32("dstResType");
    item.dstPostfix = r.text("dstPostfix");
    item.srcVideoWidth = r.int32("srcVideoWidth");
    item.srcVideoHeight = r.int32("srcVideoHeight");
    item.customBps = r.int32("customBps");
    item.bInterlaced = r.flag("bInterlaced");
    item.fileSize = r.int64("fileSize");
    item.dateLastModified = r.text("dateLastModified");
    item.OverwriteUrl = r.optionalText("OverwriteUrl");
    item.useTmpName = r.optionalFlag("useTmpName");
    if (!r.ok())
        return std::nullopt;
    return item;
}

void writeEntry(pugi::xml_node queue, const CVideoItem &item)
{
    const QString values[] = {item.fileName,
                              item.title,
                              item.Author,
                              item.state,
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

} // namespace

QString defaultPath()
{
    return AppPaths::dataPath(QStringLiteral("project.xml"));
}

bool LoadQueue(const QString &path, CVideoList &list, QueueModel &grid)
{
    if (!QFileInfo::exists(path))
        return false;
    pugi::xml_document doc;
    Xml::parseFile(doc, path);
    const pugi::xml_node queue = doc.child("clipferry").child("queue");
    if (!queue) {
        DeleteFileIfExists(path);
        return false;
    }
    for (const pugi::xml_node &file : queue.children()) {
        if (file.type() != pugi::node_element)
            continue;
        const std::optional<CVideoItem> item = readEntry(file);
        if (!item || list.itemExist(item->path))
            continue;
        grid.AddQueueRow(item->fileName, item->title, item->Author, item->path, item->Url, item->folderName);
        CVideoItem entry = *item;
        entry.state.clear();
        list.Add(entry);
    }
    return true;
}

bool SaveQueue(const QString &path, const CVideoList &list, const QueueModel &grid)
{
    pugi::xml_document doc;
    Xml::parseText(doc, QByteArrayLiteral("<?xml version=\"1.0\"?><clipferry ver=\"2.120222\"><queue></queue></clipferry>"));
    pugi::xml_node queue = doc.child("clipferry").child("queue");
    int written = 0;
    for (const CVideoItem &item : list.items()) {
        if (grid.GetEntryCell(item.path, QueueModel::ColState) == QLatin1String("Finished"))
            continue;
        writeEntry(queue, item);
        ++written;
    }
    if (written == 0)
        return DeleteFileIfExists(path);
    const QString raw = QString::fromUtf8(Xml::serialize(doc, pugi::format_raw | pugi::format_no_empty_element_tags));
    const QByteArray laidOut = LayOutQueueText(raw).toUtf8();
    // The laid-out text must read back as the same queue before it replaces the file.
    pugi::xml_document check;
    if (!Xml::parseText(check, laidOut))
        return false;
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

QString LayOutQueueText(const QString &text)
{
    QString out;
    out.reserve(text.size() + text.size() / 10);
    for (qsizetype i = 0; i < text.size(); ++i) {
        out += text.at(i);
        if (text.at(i) != u'>' || i + 1 >= text.size() || text.at(i + 1) != u'<')
            continue;
        const bool sameName = TagNameAt(text, i) == TagNameAt(text, i + 1);
        const bool closesIt = i + 2 < text.size() && text.at(i + 2) == u'/';
        if (!sameName || !closesIt)
            out += QStringLiteral("\r\n");
    }
    return out;
}

} // namespace QueueFile
