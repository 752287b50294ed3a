#include "pipeline/RecordingPreparation.h"

#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/TextUtil.h"
#include "common/XmlUtil.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/ProgressView.h"
#include "pipeline/RunnerControls.h"
#include "pipeline/UploadTransaction.h"
#include "platform/Background.h"
#include "platform/Coro.h"
#include "recorder/CProjectFile.h"
#include "recorder/MediaLibraries.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <optional>

using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

namespace {

// How often the slide renderer's progress is asked for.
constexpr auto kThumbPoll = 200ms;
// A page that has not rendered by then never will; the slide is left out.
constexpr auto kThumbToolLimit = 60s;
constexpr int kCoverWidth = 160;
constexpr int kCoverHeight = 120;

// A media item's position in ms; nothing for a link item.
std::optional<qint64> mediaPosition(const CIndexItem &item)
{
    bool ok = false;
    const qint64 pos = item.pos.trimmed().toLongLong(&ok);
    if (!ok || pos <= -1)
        return std::nullopt;
    return pos;
}

bool isLinkItem(const CIndexItem &item)
{
    bool ok = false;
    return item.pos.trimmed().toLongLong(&ok) == -1 && ok;
}

// A megabyte count of the reply as a whole number.
// Where the renderer leaves a position's image while the slides are
// numbered: out of the way of the numbered names, which a small position
// (1 ms, 2 ms) would otherwise share.
QString pendingName(qint64 position)
{
    return QString::number(position) + u".pending"_s;
}

bool writeList(const QString &path, const QList<CIndexItem> &items)
{
    QByteArray lines;
    for (const CIndexItem &item : items) {
        if (const auto pos = mediaPosition(item))
            lines += QByteArray::number(*pos) + "\r\n";
    }
    QSaveFile list(path);
    return list.open(QIODevice::WriteOnly) && list.write(lines) == lines.size() && list.commit();
}

} // namespace

RecordingPreparation::RecordingPreparation(Parts parts, QObject *parent) : QObject(parent), m(parts) {}

QString RecordingPreparation::lang(const char *section, const char *key, const QString &fallback) const
{
    return m.language.text(QString::fromLatin1(section), QString::fromLatin1(key), fallback);
}

bool RecordingPreparation::isFolderProject(const QString &path)
{
    return QFileInfo(path).suffix().compare(u"qvp"_s, Qt::CaseInsensitive) == 0;
}

bool RecordingPreparation::isSingleFileProject(const QString &path)
{
    return QFileInfo(path).suffix().compare(u"zdm"_s, Qt::CaseInsensitive) == 0;
}

bool RecordingPreparation::applySlideSize(const QString &slidesize)
{
    const QStringList parts = slidesize.trimmed().split(u'x');
    bool okWidth = false;
    bool okHeight = false;
    const int width = parts.value(0).toInt(&okWidth);
    const int height = parts.value(1).toInt(&okHeight);
    if (parts.size() != 2 || !okWidth || !okHeight || width <= 0 || height <= 0)
        return false;
    slideWidth = width;
    slideHeight = height;
    return true;
}

qint64 RecordingPreparation::uploadBytes(const QString &path)
{
    return isSingleFileProject(path) ? FileSizeBytes(path) : FolderSizeBytes(QFileInfo(path).absolutePath());
}

QCoro::Task<RecordingVerdict> RecordingPreparation::RecordingVersionReply(QString replyText, EntryJob job)
{
    const QString path = job.entry.path;
    QPointer<RecordingPreparation> self(this);
    RecordingVerdict verdict;
    const VersionReply reply = VersionReply::parse(replyText);
    const QString tarnError = UploadTransaction::tarnErrorText(m.language);
    verdict.error = reply.errorText(m.language, tarnError);
    if (verdict.error.isEmpty())
        verdict.error = reply.overwriteRefusal(m.language, tarnError);
    if (!verdict.error.isEmpty())
        co_return verdict;

    if (!reply.slidesize.isEmpty())
        applySlideSize(reply.slidesize);

    const QString measured = path;
    QFuture<qint64> measuring = offLoop([measured] { return uploadBytes(measured); });
    const qint64 bytes = co_await measuring;
    if (!self)
        co_return verdict;
    verdict.error = reply.quotaFailure(UploadTransaction::megabytes(bytes));
    if (!verdict.error.isEmpty())
        co_return verdict;
    verdict.uploadAsNew = reply.overwrite == u"1"_s;

    const bool singleFile = isSingleFileProject(path);
    const QString media = singleFile ? path : QDir(QFileInfo(path).absolutePath()).filePath(u"media.qv"_s);
    if (QFileInfo::exists(media)) {
        m.view.setStatusText(
            lang("frmCommon", "msgVerifyWholeQv", u"Verifying whole project. Please wait."_s));
        const QString version = m.project.version;
        const int sound = co_await m.libraries.verifyWholeQvFile(version, media, job.stop);
        if (!self)
            co_return verdict;
        if (job.stopped()) {
            verdict.next = RecordingVerdict::Next::Stopped;
            co_return verdict;
        }
        if (!sound) {
            verdict.error = lang("frmCommon", "msgVerifyQvErr", u"Verify project error!"_s);
            co_return verdict;
        }
    }
    if (!singleFile) {
        co_await MakeSlides(job);
        if (!self)
            co_return verdict;
    }
    if (job.stopped()) {
        verdict.next = RecordingVerdict::Next::Stopped;
        co_return verdict;
    }
    verdict.next = RecordingVerdict::Next::Pack;
    verdict.productName = singleFile ? u"Lumetra"_s : u"Corvana"_s;
    co_return verdict;
}

QCoro::Task<> RecordingPreparation::MakeSlides(EntryJob job)
{
    QPointer<RecordingPreparation> self(this);
    co_await renderFromMedia(job);
    if (!self || job.stopped())
        co_return;
    co_await renderSlides(job);
    if (!self || job.stopped())
        co_return;
    makeCover(job.workFolder);
}

// The library renders every media position into the slide folder, named by
// position, while the status shows how far it got.
QCoro::Task<> RecordingPreparation::renderFromMedia(EntryJob job)
{
    QPointer<RecordingPreparation> self(this);
    const QDir work(job.workFolder);
    const QString slideFolder = work.filePath(u"slides"_s);
    const QString listPath = work.filePath(u"thumbList.txt"_s);
    DeleteFolderIfExists(slideFolder);
    DeleteFileIfExists(listPath);
    if (!writeList(listPath, m.project.items))
        co_return;
    // Another version has no library, and nothing would ever finish.
    const QString version = m.project.version;
    if (!m.libraries.forVersion(version))
        co_return;
    m.libraries.ThumbCreate2(version, work.filePath(u"media.qv"_s), listPath, u"slides"_s, slideWidth,
                             slideHeight, job.stop);
    // The library tells how far it got only when asked.
    for (;;) {
        co_await Coro::sleep(kThumbPoll);
        if (!self)
            co_return;
        const int reached = m.libraries.ThumbTime(version);
        if (reached == -1)
            break;
        if (reached > 0)
            m.view.setStatusText(u"Process media ..."_s + QString::number(reached / 1000.0, 'g', 15) +
                                 u"s"_s);
    }
}

// Numbers the slides in index order: media items take their position's
// image, link items have their page rendered by the thumb tool.
QCoro::Task<> RecordingPreparation::renderSlides(EntryJob job)
{
    QPointer<RecordingPreparation> self(this);
    const QDir slides(QDir(job.workFolder).filePath(u"slides"_s));
    if (!slides.exists() && !QDir().mkpath(slides.path()))
        co_return;
    const QList<CIndexItem> items = m.project.items;
    // The last item of each position takes its image; earlier ones copy it.
    QHash<qint64, qsizetype> lastItemAt;
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (const auto pos = mediaPosition(items.at(i))) {
            if (!lastItemAt.contains(*pos))
                MoveFileReplace(slides.filePath(QString::number(*pos) + u".jpg"_s),
                                slides.filePath(pendingName(*pos)));
            lastItemAt[*pos] = i;
        }
    }
    for (qsizetype i = 0; i < items.size() && !job.stopped(); ++i) {
        const CIndexItem &item = items.at(i);
        const int n = static_cast<int>(i + 1);
        const QString target = slides.filePath(QString::number(n) + u".jpg"_s);
        m.view.setStatusText(u"Creating slides ... "_s + QString::number(n));
        m.view.setStepProgress({EntryPhase::Slides, static_cast<int>(i * 100 / items.size())});
        if (const auto pos = mediaPosition(item)) {
            const QString pending = slides.filePath(pendingName(*pos));
            if (QFileInfo::exists(pending)) {
                if (lastItemAt.value(*pos) == i)
                    MoveFileReplace(pending, target);
                else
                    CopyFileReplace(pending, target);
            }
        } else if (isLinkItem(item)) {
            const QString command = thumbCommand(job.workFolder, n, item.Url);
            const QString anyFolder;
            // A page that cannot be rendered just has no slide.
            co_await m.runner.ExecWait(command, job.stop, anyFolder, kThumbToolLimit);
            if (!self)
                co_return;
        }
    }
}

QString RecordingPreparation::thumbCommand(const QString &workFolder, int n, const QString &url) const
{
    const QString folder = QDir::fromNativeSeparators(workFolder);
    QString address = folder + u'/' + url;
    QString image = folder + u"/slides/"_s + QString::number(n) + u".jpg"_s;
    address.replace(u' ', u',');
    image.replace(u' ', u',');
    return u"thumb.exe "_s + address + u' ' + image + u" 800 600 "_s + QString::number(slideWidth) + u' ' +
           QString::number(slideHeight) + u" 2000"_s;
}

// The cover is the first slide, small: without a first slide there is none.
void RecordingPreparation::makeCover(const QString &workFolder)
{
    const QDir slides(QDir(workFolder).filePath(u"slides"_s));
    const QByteArray first = QFile::encodeName(slides.filePath(u"1.jpg"_s));
    const QByteArray cover = QFile::encodeName(slides.filePath(u"cover.jpg"_s));
    if (!QFileInfo::exists(slides.filePath(u"1.jpg"_s)))
        return;
    FIBITMAP *image = FreeImage_Load(FIF_JPEG, first.constData(), JPEG_DEFAULT);
    if (!image)
        return;
    FIBITMAP *scaled = FreeImage_Rescale(image, kCoverWidth, kCoverHeight, FILTER_BICUBIC);
    FreeImage_Unload(image);
    if (!scaled)
        return;
    FIBITMAP *converted = FreeImage_ConvertTo24Bits(scaled);
    FreeImage_Unload(scaled);
    if (!converted)
        return;
    FreeImage_Save(FIF_JPEG, converted, cover.constData(), JPEG_DEFAULT);
    FreeImage_Unload(converted);
}

QCoro::Task<QString> RecordingPreparation::unpackSingleFile(QString zdmPath, QString folder)
{
    QPointer<RecordingPreparation> self(this);
    const QStringList paths = MediaLibrary::extendDataPaths(folder);
    co_await m.libraries.GetExtendDataFromProject(zdmPath, paths.at(0), paths.at(1), paths.at(2),
                                                  paths.at(3));
    if (!self)
        co_return u"Stopped."_s;
    if (!QFileInfo::exists(paths.at(0)))
        co_return u"\"%1\" could not be unpacked."_s.arg(QFileInfo(zdmPath).fileName());
    co_return QString();
}

QCoro::Task<QString> RecordingPreparation::storeServerInfo(QString zdmPath, QString workFolder, QString url,
                                                           QString folderID, QString contentID)
{
    QPointer<RecordingPreparation> self(this);
    m.project.url = url;
    m.project.folderID = folderID;
    m.project.contentID = contentID;
    const QStringList paths = MediaLibrary::extendDataPaths(workFolder);
    if (!m.project.Save(paths.at(0)))
        co_return u"The project could not be saved."_s;
    const int written = co_await m.libraries.SetExtendDataInProject(zdmPath, paths.at(0), paths.at(1),
                                                                    paths.at(2), paths.at(3));
    if (!self || !written)
        co_return u"The server's content id could not be stored in \"%1\"."_s.arg(
            QFileInfo(zdmPath).fileName());
    co_return QString();
}
