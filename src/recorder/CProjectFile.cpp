#include "recorder/CProjectFile.h"

#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/TextUtil.h"
#include "common/XmlUtil.h"
#include "platform/AppPaths.h"
#include "platform/Messages.h"
#include "recorder/CTime.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>
#include <algorithm>

using Xml::toQ;
using Xml::toU8;

namespace {

// Ends a load or save at the current step; the description says what was
// wrong there.
struct StepFailure
{
    QString description;
};

const QString kSaveError = QStringLiteral("Save 'project.qvp' error!");
const QString kSaveLockedError =
    QStringLiteral("Save 'project.qvp' error! The updated project is saved as 'project.qvp.tmp'");
// A shorter file cannot hold a whole project; it is never put in place.
constexpr qint64 kMinimumProjectBytes = 500;

// The text of all descendants, as the recorder reads an element.
QString wholeText(const pugi::xml_node &node)
{
    QString text;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
            text += toQ(child.value());
        else if (child.type() == pugi::node_element)
            text += wholeText(child);
    }
    return text;
}

void setWholeText(pugi::xml_node node, const QString &value)
{
    while (node.first_child())
        node.remove_child(node.first_child());
    if (!value.isEmpty())
        node.append_child(pugi::node_pcdata).set_value(toU8(value).constData());
}

pugi::xml_attribute requireFirstAttribute(const pugi::xml_node &node, const QString &name)
{
    const pugi::xml_attribute attribute = node.first_attribute();
    if (!attribute)
        throw StepFailure{QStringLiteral("The element \"%1\" has no attribute.").arg(name)};
    return attribute;
}

pugi::xml_node firstElementChild(const pugi::xml_node &node)
{
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element)
            return child;
    }
    return {};
}

QString requireChildText(const pugi::xml_node &item, const char *name)
{
    const pugi::xml_node child = item.child(name);
    if (!child)
        throw StepFailure{QStringLiteral("The item has no \"%1\".").arg(QLatin1String(name))};
    return wholeText(child);
}

// CR LF between every two adjacent tags, so the recorder and people can
// read the file line by line.
QByteArray laidOut(const QByteArray &raw)
{
    QByteArray text;
    text.reserve(raw.size() + raw.size() / 8);
    for (qsizetype i = 0; i < raw.size(); ++i) {
        text.append(raw[i]);
        if (raw[i] == '>' && i + 1 < raw.size() && raw[i + 1] == '<')
            text.append("\r\n");
    }
    return text;
}

// A project text in the encoding it declares, converted to UTF-8 for the
// parser.
struct DecodedProject
{
    QByteArray utf8;
    QByteArray encoding; // empty for UTF-8, which needs no conversion
    bool byteOrderMark = false;
    QString refusal; // why the text cannot be read; empty when it can
};

bool isUtf8Name(const QByteArray &name)
{
    const QByteArray lower = name.toLower();
    return lower == "utf-8" || lower == "utf8";
}

// The encoding named by the XML declaration; empty when there is none.
QByteArray declaredEncoding(const QByteArray &text)
{
    static const QRegularExpression declaration(
        QStringLiteral(R"(^<\?xml[^>]*?\sencoding\s*=\s*["']([A-Za-z0-9._:-]+)["'])"));
    const QRegularExpressionMatch match = declaration.match(QString::fromLatin1(text.left(256)));
    return match.hasMatch() ? match.captured(1).toLatin1() : QByteArray();
}

DecodedProject decodeProject(const QByteArray &bytes)
{
    DecodedProject project;
    const std::optional<QStringConverter::Encoding> marked = QStringConverter::encodingForData(bytes);
    project.byteOrderMark = marked.has_value();
    if (marked == QStringConverter::Utf8) {
        project.utf8 = bytes.mid(3);
        return project;
    }
    const QByteArray name =
        marked ? QByteArray(QStringConverter::nameForEncoding(*marked)) : declaredEncoding(bytes);
    if (name.isEmpty() || isUtf8Name(name)) {
        project.utf8 = bytes;
        return project;
    }
    QStringDecoder decoder(name.constData());
    if (!decoder.isValid()) {
        project.refusal =
            QStringLiteral("The project file \"%1\" is written in the encoding \"%2\", which "
                           "cannot be converted on this computer. The file was left unchanged.");
        project.encoding = name;
        return project;
    }
    const QString text = decoder(bytes);
    if (decoder.hasError()) {
        project.refusal = QStringLiteral("The project file \"%1\" is not valid \"%2\" text. The file was "
                                         "left unchanged.");
        project.encoding = name;
        return project;
    }
    project.utf8 = text.toUtf8();
    project.encoding = name;
    return project;
}

// The text in `encoding`; a character the encoding lacks becomes a
// character reference, which only the texts written by this program can
// hold (everything else was read from the same encoding).
std::optional<QByteArray> encodeProject(const QString &text, const QByteArray &encoding, bool byteOrderMark)
{
    const QStringConverter::Flags flags =
        byteOrderMark ? QStringConverter::Flag::WriteBom : QStringConverter::Flag::Default;
    QStringEncoder encoder(encoding.constData(), flags);
    if (!encoder.isValid())
        return std::nullopt;
    QByteArray bytes = encoder(text);
    if (!encoder.hasError() && QString(QStringDecoder(encoding.constData())(bytes)) == text)
        return bytes;
    // Rare: character by character, so only the missing ones are replaced.
    // A converter that met an error stays in error, so each failure gets
    // fresh ones.
    std::optional<QStringEncoder> single;
    std::optional<QStringDecoder> back;
    bytes = byteOrderMark ? QStringEncoder(encoding.constData(), flags)(QString()) : QByteArray();
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!single) {
            single.emplace(encoding.constData(), QStringConverter::Flag::Stateless);
            back.emplace(encoding.constData(), QStringConverter::Flag::Stateless);
        }
        const bool pair =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        const QStringView character = QStringView(text).mid(i, pair ? 2 : 1);
        const QByteArray encoded = (*single)(character);
        const QString decoded = (*back)(encoded);
        if (!single->hasError() && !back->hasError() && decoded == character) {
            bytes += encoded;
        } else {
            const char32_t code =
                pair ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1)) : text.at(i).unicode();
            bytes += QStringEncoder(encoding.constData())(
                QStringLiteral("&#x%1;").arg(static_cast<uint>(code), 0, 16));
            single.reset();
            back.reset();
        }
        if (pair)
            ++i;
    }
    return bytes;
}

} // namespace

bool CProjectFile::Load(const QString &path, bool silent, const QString &workFolder)
{
    if (!QFileInfo(path).isFile())
        return false;
    fileName = path;
    QFile file(path);
    const QByteArray bytes = file.size() <= Xml::kMaxDocumentBytes && file.open(QIODevice::ReadOnly)
                                 ? file.readAll()
                                 : QByteArray();
    DecodedProject decoded = decodeProject(bytes);
    if (!decoded.refusal.isEmpty()) {
        m_doc.reset();
        setStep(QStringLiteral("encoding"));
        if (!silent)
            m_messages.show(
                decoded.refusal.arg(QDir::toNativeSeparators(path), QString::fromLatin1(decoded.encoding)),
                {}, Messages::Icon::Warning);
        return false;
    }
    m_encoding = decoded.encoding;
    m_byteOrderMark = decoded.byteOrderMark;
    const Xml::ParseResult parsed = Xml::parseText(
        m_doc, decoded.utf8, pugi::parse_default | pugi::parse_declaration, pugi::encoding_utf8);
    dropItemsBeyondEnd = true;
    try {
        setStep(QStringLiteral("set default value"));
        setStartValues();
        if (!parsed)
            throw StepFailure{parsed.error};
        version = toQ(requireFirstAttribute(m_doc.document_element(), QStringLiteral("root")).value());
        const QChar major = version.isEmpty() ? QChar() : version.front();
        if (major < u'5' || major > u'8') {
            if (!silent)
                m_messages.show(QStringLiteral("Unrecognized project version!"), {}, Messages::Icon::Warning);
            return false;
        }
        pathPrefix = major == u'5' ? QString() : QStringLiteral("project.");
        isVersion8 = major == u'8';
        loadContent(workFolder);
    } catch (const StepFailure &) {
        if (!silent)
            m_messages.show(m_language.text(QStringLiteral("frmCommon"), QStringLiteral("msgQvpError")) +
                                u' ' + m_currentStep,
                            {}, Messages::Icon::Warning);
        return false;
    }
    return true;
}

void CProjectFile::setStartValues()
{
    title = QStringLiteral("Corvana Title");
    bitrate = QStringLiteral("96");
    size.clear();
    preview = QStringLiteral("0");
    templateName = QStringLiteral("default");
    photoAttribute = QStringLiteral("160x120");
    photo = QStringLiteral("photo.gif");
    soundAttribute = QStringLiteral("3");
    sound.clear();
    showcursor = QStringLiteral("1");
    items.clear();
    indexType = QStringLiteral("OL");
    isVersion8 = false;
}

void CProjectFile::loadContent(const QString &workFolder)
{
    setStep(QStringLiteral("abstract"));
    const QString abstract = pathPrefix + QStringLiteral("abstract.");
    title = readText(abstract + QStringLiteral("title"));
    author = readText(abstract + QStringLiteral("author"));
    manager = readText(abstract + QStringLiteral("manager"));
    company = readText(abstract + QStringLiteral("company"));
    category = readText(abstract + QStringLiteral("category"));
    keywords = readText(abstract + QStringLiteral("keywords"));
    comments = readText(abstract + QStringLiteral("comments"));

    loadConfigure(workFolder);

    setStep(QStringLiteral("Configure.profile.video"));
    const QString video = pathPrefix + QStringLiteral("configure.profile.video.");
    bitrate = readText(video + QStringLiteral("bitrate")).trimmed();
    size = readText(video + QStringLiteral("size")).trimmed();
    preview = readText(video + QStringLiteral("preview"));
    normaliseProfile();

    if (isVersion8)
        loadServerBinding();
    loadIndex();
}

void CProjectFile::loadConfigure(const QString &workFolder)
{
    setStep(QStringLiteral("configure"));
    const QString configure = pathPrefix + QStringLiteral("configure.");
    templateName = readText(configure + QStringLiteral("template"));
    const pugi::xml_node photoNode = requireNode(configure + QStringLiteral("photo"));
    photo = wholeText(photoNode);
    photoAttribute = toQ(requireFirstAttribute(photoNode, QStringLiteral("photo")).value());
    const pugi::xml_node soundNode = requireNode(configure + QStringLiteral("sound"));
    sound = wholeText(soundNode);
    soundAttribute = toQ(requireFirstAttribute(soundNode, QStringLiteral("sound")).value());

    pugi::xml_node configureNode = requireNode(pathPrefix + QStringLiteral("configure"));
    if (const pugi::xml_node cursor = configureNode.child("showcursor")) {
        showcursor = wholeText(cursor);
        return;
    }
    // Older recorders drew the cursor themselves; the player needs the
    // cursor script beside the project instead.
    configureNode.append_child("showcursor");
    const QString script = AppPaths::resourcePath(QStringLiteral("encfiles/qvctrl.js"));
    if (!workFolder.isEmpty() && QFileInfo::exists(script))
        CopyFileReplace(script, QDir(workFolder).filePath(QStringLiteral("qvctrl.js")));
}

// Only two profiles exist: 96 kbit/s at 160x120 and 192 kbit/s at 240x180.
void CProjectFile::normaliseProfile()
{
    if (!QStringLiteral("  96 192 ").contains(u' ' + bitrate + u' '))
        bitrate = size == QLatin1String("240x180") ? QStringLiteral("192") : QStringLiteral("96");
    if (size.isEmpty())
        return;
    if (bitrate == QLatin1String("96") && size != QLatin1String("160x120"))
        size = QStringLiteral("160x120");
    else if (bitrate == QLatin1String("192") && size != QLatin1String("240x180"))
        size = QStringLiteral("240x180");
}

void CProjectFile::loadServerBinding()
{
    const pugi::xml_node server = GetNode(QStringLiteral("project.tarninfo.server"));
    const pugi::xml_node urlNode = server.child("url");
    const pugi::xml_node folderNode = server.child("folderID");
    const pugi::xml_node contentNode = server.child("contentID");
    if (!urlNode || !folderNode || !contentNode) {
        url.clear();
        folderID.clear();
        contentID = QStringLiteral("0");
        return;
    }
    url = wholeText(urlNode).trimmed();
    folderID = wholeText(folderNode).trimmed();
    contentID = wholeText(contentNode).trimmed();
}

void CProjectFile::loadIndex()
{
    setStep(QStringLiteral("index"));
    const pugi::xml_node index = requireNode(pathPrefix + QStringLiteral("index"));
    const pugi::xml_attribute type = index.attribute("type");
    indexType = type ? toQ(type.value()) : QStringLiteral("OL");
    setStep(QStringLiteral("index.duration"));
    const pugi::xml_attribute length = index.attribute("duration");
    if (!length)
        throw StepFailure{QStringLiteral("The index has no duration.")};
    durationText = toQ(length.value());

    RemoveIndex(-99);
    qint64 previous = -1;
    int i = 0;
    for (const pugi::xml_node &child : index.children()) {
        const QString step = QStringLiteral("index.item(%1).").arg(++i);
        setStep(step + QStringLiteral("title"));
        const QString itemTitle = requireChildText(child, "title");

        setStep(step + QStringLiteral("pos"));
        const QString pos = requireChildText(child, "pos");
        bool whole = false;
        const qint64 position = pos.trimmed().toLongLong(&whole);
        if (!whole)
            throw StepFailure{QStringLiteral("The position \"%1\" is not a whole number.").arg(pos)};
        if (position > -1 && position < previous)
            throw StepFailure{QStringLiteral("The positions of the index decrease.")};
        if (position > -1)
            previous = position;

        setStep(step + QStringLiteral("recdate"));
        const QString recDate = requireChildText(child, "recdate");

        setStep(step + QStringLiteral("url"));
        const QString link = pos == QLatin1String("-1") ? requireChildText(child, "url") : QString();
        AddIndex(itemTitle, pos, recDate, link, {}, {}, false);
    }
}

bool CProjectFile::Save(const QString &name)
{
    const QString target = name.isEmpty() ? fileName : name;
    try {
        saveContent();
        setStep(QStringLiteral("prepare xmlBuf"));
        const QByteArray buffer = laidOut(Xml::serialize(m_doc));
        setStep(QStringLiteral("LoadXML xmlBuf"));
        if (const Xml::ParseResult reparsed = Xml::parseText(
                m_doc, buffer, pugi::parse_default | pugi::parse_declaration, pugi::encoding_utf8);
            !reparsed)
            throw StepFailure{reparsed.error};
        setStep(QStringLiteral("Save FileName"));
        // The buffer is the re-parsed document in its saved layout, written
        // in the encoding the file declares.
        if (m_encoding.isEmpty())
            return replaceFile(target, m_byteOrderMark ? QByteArray("\xEF\xBB\xBF") + buffer : buffer);
        const std::optional<QByteArray> encoded =
            encodeProject(QString::fromUtf8(buffer), m_encoding, m_byteOrderMark);
        if (!encoded)
            throw StepFailure{QStringLiteral("The encoding \"%1\" cannot be written.")
                                  .arg(QString::fromLatin1(m_encoding))};
        return replaceFile(target, *encoded);
    } catch (const StepFailure &failure) {
        m_messages.show(failure.description + QStringLiteral(": ") + m_currentStep,
                        QStringLiteral("qvp.Save"), Messages::Icon::Critical);
        return false;
    }
}

void CProjectFile::saveContent()
{
    setStep(QStringLiteral("abstract"));
    const QString abstract = pathPrefix + QStringLiteral("abstract.");
    writeText(abstract + QStringLiteral("title"), RemoveTabs(title));
    writeText(abstract + QStringLiteral("author"), RemoveTabs(author));
    writeText(abstract + QStringLiteral("manager"), RemoveTabs(manager));
    writeText(abstract + QStringLiteral("company"), RemoveTabs(company));
    writeText(abstract + QStringLiteral("category"), RemoveTabs(category));
    writeText(abstract + QStringLiteral("keywords"), RemoveTabs(keywords));
    writeText(abstract + QStringLiteral("comments"), RemoveTabs(comments));

    setStep(QStringLiteral("configure"));
    const QString configure = pathPrefix + QStringLiteral("configure.");
    writeText(configure + QStringLiteral("template"), templateName);
    writeText(configure + QStringLiteral("photo"), photo);
    requireFirstAttribute(requireNode(configure + QStringLiteral("photo")), QStringLiteral("photo"))
        .set_value(toU8(photoAttribute).constData());
    writeText(configure + QStringLiteral("sound"), sound);
    requireFirstAttribute(requireNode(configure + QStringLiteral("sound")), QStringLiteral("sound"))
        .set_value(toU8(soundAttribute).constData());
    writeText(configure + QStringLiteral("showcursor"), showcursor);

    setStep(QStringLiteral("configure.profile.video"));
    const QString video = pathPrefix + QStringLiteral("configure.profile.video.");
    writeText(video + QStringLiteral("bitrate"), bitrate);
    writeText(video + QStringLiteral("size"), size);
    writeText(video + QStringLiteral("preview"), preview);

    if (isVersion8)
        writeServerBinding();
    writeItems(rebuildIndex());
}

void CProjectFile::writeServerBinding()
{
    const pugi::xml_node server = GetNode(QStringLiteral("project.tarninfo.server"));
    pugi::xml_node urlNode = server.child("url");
    pugi::xml_node folderNode = server.child("folderID");
    pugi::xml_node contentNode = server.child("contentID");
    if (urlNode && folderNode && contentNode) {
        setWholeText(urlNode, url);
        setWholeText(folderNode, folderID);
        setWholeText(contentNode, contentID);
        return;
    }
    setStep(QStringLiteral("CreateTarnInfo"));
    pugi::xml_node tarninfo = requireNode(QStringLiteral("project")).append_child("tarninfo");
    pugi::xml_node newServer = tarninfo.append_child("server");
    setWholeText(newServer.append_child("url"), url);
    setWholeText(newServer.append_child("folderID"), folderID);
    setWholeText(newServer.append_child("contentID"), contentID);
}

// The index is written anew as the last child of the project element; a
// problem with the old one is reported on its own and the save goes on.
pugi::xml_node CProjectFile::rebuildIndex()
{
    setStep(QStringLiteral("RemoveIndexNode"));
    const pugi::xml_node root = m_doc.document_element();
    pugi::xml_node parent = pathPrefix.isEmpty() ? root : firstElementChild(root);
    QString problem;
    if (!parent)
        problem = QStringLiteral("The project element is missing.");
    else if (const pugi::xml_node old = parent.child("index"))
        parent.remove_child(old);
    else
        problem = QStringLiteral("The index element is missing.");
    if (!problem.isEmpty())
        m_messages.show(problem + QStringLiteral(": ") + m_currentStep, QStringLiteral("RemoveIndexNode"),
                        Messages::Icon::Warning);
    if (!parent)
        return {};
    pugi::xml_node index = parent.append_child("index");
    index.append_attribute("duration").set_value(toU8(durationText).constData());
    index.append_attribute("type").set_value(toU8(indexType).constData());
    return index;
}

void CProjectFile::writeItems(pugi::xml_node index)
{
    QList<int> dropped;
    for (int i = 0; i < items.size(); ++i) {
        setStep(QStringLiteral("index.item(%1)").arg(i + 1));
        const CIndexItem &item = items.at(i);
        if (dropItemsBeyondEnd) {
            const std::optional<qint64> end = duration();
            if (!end)
                throw StepFailure{
                    QStringLiteral("The duration \"%1\" is not a time text.").arg(durationText)};
            if (item.position() >= static_cast<double>(*end)) {
                dropped.append(i);
                continue;
            }
        }
        if (!index)
            throw StepFailure{QStringLiteral("The index element cannot be written.")};
        pugi::xml_node element = index.append_child("item");
        setWholeText(element.append_child("title"), RemoveTabs(item.title));
        setWholeText(element.append_child("recdate"), item.RecDate);
        setWholeText(element.append_child("pos"), item.pos);
        if (!item.Url.isEmpty())
            setWholeText(element.append_child("url"), item.Url);
        if (!item.size.isEmpty())
            setWholeText(element.append_child("size"), item.size);
    }
    std::for_each(dropped.crbegin(), dropped.crend(), [this](int i) { items.removeAt(i); });
}

bool CProjectFile::replaceFile(const QString &target, const QByteArray &content)
{
    const QString temporary = target + QStringLiteral(".tmp");
    const bool written = Xml::writeFileAtomic(temporary, content);
    if (!written || FileSizeBytes(temporary) < kMinimumProjectBytes) {
        m_messages.show(kSaveError, {}, Messages::Icon::Critical);
        return false;
    }
    const QFileInfo old(target);
    if (old.exists() || old.isSymLink()) {
        QFile::setPermissions(target, QFile::permissions(target) | QFileDevice::WriteOwner);
        if (!QFile::remove(target)) {
            m_messages.show(kSaveLockedError, {}, Messages::Icon::Critical);
            return false;
        }
    }
    if (!QFile::rename(temporary, target))
        throw StepFailure{QStringLiteral("Cannot rename \"%1\" to \"%2\".").arg(temporary, target)};
    return true;
}

std::optional<qint64> CProjectFile::duration() const
{
    return CTime::GetSecond(durationText);
}

void CProjectFile::setDuration(qint64 ms)
{
    durationText = CTime::GetString(ms, QStringLiteral("ms"));
}

void CProjectFile::AddIndex(const QString &itemTitle, const QString &pos, const QString &recDate,
                            const QString &link, const QString &length, const QString &posEnd, bool selected)
{
    items.append(CIndexItem{itemTitle, pos, recDate, posEnd, length, link, selected, {}});
}

void CProjectFile::RemoveIndex(int index)
{
    if (index == -99)
        items.clear();
    else if (index >= 1 && index <= items.size())
        items.removeAt(index - 1);
}

void CProjectFile::SetTitle(int index, const QString &itemTitle)
{
    if (index >= 1 && index <= items.size())
        items[index - 1].title = itemTitle;
}

void CProjectFile::SetLastItem(const QString &itemTitle, const QString &pos, const QString &recDate,
                               const QString &link, const QString &, const QString &, bool)
{
    if (items.isEmpty())
        return;
    CIndexItem &last = items.last();
    last.title = itemTitle;
    last.pos = pos;
    last.RecDate = recDate;
    if (!link.isEmpty())
        last.Url = link;
}

pugi::xml_node CProjectFile::GetNode(const QString &path) const
{
    return Xml::SelectByPath(m_doc, path);
}

pugi::xml_node CProjectFile::requireNode(const QString &path) const
{
    const pugi::xml_node node = GetNode(path);
    if (!node)
        throw StepFailure{QStringLiteral("The element \"%1\" is missing.").arg(path)};
    return node;
}

QString CProjectFile::readText(const QString &path) const
{
    return wholeText(requireNode(path));
}

void CProjectFile::writeText(const QString &path, const QString &value)
{
    setWholeText(requireNode(path), value);
}
