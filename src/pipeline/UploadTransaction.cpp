#include "pipeline/UploadTransaction.h"

#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/Password.h"
#include "common/Settings.h"
#include "common/TextUtil.h"
#include "common/XmlUtil.h"
#include "pipeline/ProgressView.h"
#include "pipeline/RunnerControls.h"
#include "server/TransferControl.h"

#include <QDir>

namespace {

const QString kSection = QStringLiteral("frmUpload");

QString lang(const LanguageTable &language, const char *key, const QString &fallback = {})
{
    return language.text(kSection, QString::fromLatin1(key), fallback);
}

// The language text of a key, or nothing when the file lacks it.
std::optional<QString> langIfPresent(const LanguageTable &language, const QString &key)
{
    static const QString missing = QStringLiteral("\x01");
    const QString text = language.text(kSection, key, missing);
    if (text == missing)
        return std::nullopt;
    return text;
}

QString quotaValue(const pugi::xml_document &doc, const char *path)
{
    return Xml::GetTextByPath(doc, QString::fromLatin1(path)).trimmed();
}

// A quota value in whole MB; halves go to the even neighbour.
qint64 wholeMegabytes(const QString &text)
{
    return RoundHalfEven(text.toDouble());
}

// The number part of a bit rate such as "586k".
double rateNumber(const QString &rate)
{
    return rate.left(rate.size() - 1).toDouble();
}

} // namespace

VersionReply VersionReply::parse(const QString &text)
{
    VersionReply reply;
    pugi::xml_document doc;
    if (!Xml::parseText(doc, text.toUtf8()))
        return reply;
    reply.errInfo = Xml::GetTextByPath(doc, QStringLiteral("errInfo")).trimmed();
    reply.showInfo = Xml::GetTextByPath(doc, QStringLiteral("showInfo")).trimmed();
    reply.videotype = Xml::GetTextByPath(doc, QStringLiteral("videotype")).trimmed();
    reply.videosrc = Xml::GetTextByPath(doc, QStringLiteral("videosrc")).trimmed();
    reply.slidesize = Xml::GetTextByPath(doc, QStringLiteral("slidesize")).trimmed();
    reply.overwrite = Xml::GetTextByPath(doc, QStringLiteral("overwrite")).trimmed();
    reply.quotaTotal = quotaValue(doc, "quota.total");
    reply.quotaFree = quotaValue(doc, "quota.free");
    reply.quotaMaxSize = quotaValue(doc, "quota.maxsize");
    return reply;
}

QString VersionReply::errorText(const LanguageTable &language, const QString &tarnErrorText) const
{
    if (errInfo.isEmpty())
        return {};
    const QString prefix = QStringLiteral("GetVersion: ");
    if (showInfo == QLatin1String("1"))
        return prefix + errInfo;
    if (const auto text = langIfPresent(language, QStringLiteral("msg_") + errInfo))
        return prefix + *text;
    return prefix + tarnErrorText + QStringLiteral(" (") + errInfo + u')';
}

QString VersionReply::quotaFailure(qint64 required) const
{
    if (quotaTotal.isEmpty() || quotaFree.isEmpty() || quotaMaxSize.isEmpty())
        return {};
    if (wholeMegabytes(quotaMaxSize) < required)
        return QStringLiteral("Exceed the maximum upload size!, maxsize=%1MB, required=%2MB")
            .arg(quotaMaxSize)
            .arg(required);
    if (wholeMegabytes(quotaFree) < required)
        return QStringLiteral("No enough space to upload data, total=%1MB, free=%2MB, required=%3MB")
            .arg(quotaTotal, quotaFree)
            .arg(required);
    return {};
}

QString VersionReply::overwriteRefusal(const LanguageTable &language, const QString &tarnErrorText) const
{
    if (overwrite != QLatin1String("2") && overwrite != QLatin1String("3"))
        return {};
    const QString prefix = QStringLiteral("GetVersion: ");
    if (const auto text = langIfPresent(language, QStringLiteral("msg_folder") + overwrite))
        return prefix + *text;
    return prefix + tarnErrorText + QStringLiteral(" (") + overwrite + u')';
}

UploadTransaction::UploadTransaction(TransferControl &tarn, ProgressView &view, RunnerControls &controls,
                                     DefaultProject &defaultProject, const LanguageTable &language,
                                     Messages::Channel &messages, QObject *parent)
    : QObject(parent), m_tarn(tarn), m_view(view), m_controls(controls), m_defaultProject(defaultProject),
      m_language(language), m_messages(messages)
{}

QString UploadTransaction::tarnErrorText(const LanguageTable &language)
{
    return lang(language, "tarnError");
}

qint64 UploadTransaction::megabytes(qint64 bytes)
{
    return RoundHalfEven(static_cast<double>(bytes) / 1048576.0);
}

qint64 UploadTransaction::requiredMegabytes(const CVideoItem &entry)
{
    if (entry.dstCvtType == ServerConversion || entry.dstCvtType == NoConversion)
        return megabytes(FileSizeBytes(entry.path));
    const double kbits = rateNumber(entry.vBitRate) + rateNumber(entry.aBitRate);
    return RoundHalfEven(kbits * 1000.0 * entry.secDuration / (1024.0 * 1024.0 * 8.0));
}

int UploadTransaction::folderIdToSend() const
{
    return entry.OverwriteUrl.isEmpty() ? entry.folderID.toInt() : -1;
}

QString UploadTransaction::serverUrl(const QString &requestPath) const
{
    bool https = false;
    QString host = StripScheme(entry.Url, https);
    while (host.endsWith(u'/'))
        host.chop(1);
    return (https ? QStringLiteral("https://") : QStringLiteral("http://")) + host + requestPath;
}

QString UploadTransaction::versionPostData(bool singleFileProject) const
{
    QString post = (singleFileProject ? QStringLiteral("tool=p.") : QStringLiteral("tool=v.")) +
                   lang(m_language, "frmVersion", QStringLiteral("2.100603"));
    if (!entry.OverwriteUrl.isEmpty()) {
        bool https = false;
        post += QStringLiteral("&url=") + UrlEncode(StripScheme(entry.OverwriteUrl, https));
    }
    return post;
}

QCoro::Task<std::optional<QString>> UploadTransaction::SendVersionRequest(QString postData, int contentId,
                                                                          StopToken stop)
{
    QPointer<UploadTransaction> self(this);
    m_view.setStatusText(lang(m_language, "msgConnect", QStringLiteral("Conncecting server ...")));
    m_controls.setStartEnabled(false);
    const QString url = serverUrl(QStringLiteral("/tarn/getVersion/"));
    const QString password = PasswordAsSent(entry.password, entry.bEncPassword, m_messages);
    const QString projectVersion = m_defaultProject.DefaultProjectVersion();
    const int folderId = folderIdToSend();
    const TransferReply reply = co_await m_tarn.GetVersion(url, entry.account, password, folderId, contentId,
                                                           projectVersion, postData, stop);
    if (!self || reply.stopped())
        co_return std::nullopt;
    if (!reply.error.isEmpty() && reply.text.isEmpty()) {
        lastError = QStringLiteral("GetVersion: ") + reply.error;
        co_return QString();
    }
    co_return reply.text;
}

QString UploadTransaction::statusUploading() const
{
    return lang(m_language, "msgUpload",
                QStringLiteral("Uploading data to ") + entry.Url + QStringLiteral(" ..."));
}

void UploadTransaction::showUploadProgress(int percent)
{
    m_view.setProgress(percent);
    if (percent >= 100) {
        m_view.setStatusText(
            lang(m_language, "msgUpdate",
                 QStringLiteral("Updating ") + entry.Url + QStringLiteral(" database, please wait ...")));
        m_controls.setExitEnabled(false);
    } else {
        m_view.setStatusText(statusUploading() + u' ' + QString::number(percent) + u'%');
    }
}

QCoro::Task<bool> UploadTransaction::UploadPackage(QString zipFolder, int contentId, StopToken stop,
                                                   UploadResume resume)
{
    QPointer<UploadTransaction> self(this);
    storedContentId.clear();
    resumedAt = -1;
    storedContentUrl.clear();
    m_view.setStatusText(statusUploading());
    const auto progress =
        connect(&m_tarn, &TransferControl::uploadProgress, this,
                [this](qint64 acknowledged, qint64 total, int percent) {
                    m_view.setStepProgress({EntryPhase::Uploading, percent, -1, acknowledged, total});
                    showUploadProgress(percent);
                });
    const auto registering = connect(&m_tarn, &TransferControl::registering, this, [this] {
        m_view.setStepProgress({EntryPhase::Registering, 100});
        showUploadProgress(100);
    });
    showUploadProgress(0);
    const QString url = serverUrl(QStringLiteral("/tarn/putFile/"));
    const QString password = PasswordAsSent(entry.password, entry.bEncPassword, m_messages);
    const QString archive = QDir(zipFolder).filePath(QStringLiteral("tarn_file.zip"));
    const int folderId = folderIdToSend();
    const UploadResult result =
        co_await m_tarn.PutFile(url, entry.account, password, folderId, contentId, archive, stop, resume);
    if (!self)
        co_return false;
    disconnect(progress);
    disconnect(registering);
    if (result.stopped())
        m_view.setStatusText(
            lang(m_language, "msgUploadCancel",
                 QStringLiteral("Uploading data to ") + entry.Url + QStringLiteral(" ... Canceled!")));
    resumedAt = result.resumedAt;
    m_controls.setExitEnabled(true);
    if (result.stopped())
        co_return false;

    pugi::xml_document doc;
    if (!Xml::parseText(doc, result.text.toUtf8())) {
        // A dropped connection has no reply at all: say why, naming the host.
        lastError = result.text.isEmpty() && !result.error.isEmpty() ? result.error
                                                                     : QStringLiteral("Parse XML error!");
        co_return false;
    }
    const QString errInfo = Xml::GetTextByPath(doc, QStringLiteral("errInfo")).trimmed();
    if (!errInfo.isEmpty()) {
        lastError = langIfPresent(m_language, QStringLiteral("msg_") + errInfo)
                        .value_or(tarnErrorText(m_language) + QStringLiteral(": ") + errInfo);
        co_return false;
    }
    const QString contentID = Xml::GetTextByPath(doc, QStringLiteral("contentID")).trimmed();
    if (contentID.isEmpty()) {
        lastError =
            lang(m_language, "tarnNoResponse", QStringLiteral("Upload failed! Server did not response."));
        co_return false;
    }
    if (contentID == QLatin1String("0")) {
        lastError = QStringLiteral("Upload failed! ContentID = 0");
        co_return false;
    }
    m_view.setStatusText(lang(m_language, "msgComplete", QStringLiteral("Uploading data ... Finished!")));
    storedContentId = contentID;
    storedContentUrl = Xml::GetTextByPath(doc, QStringLiteral("contentUrl")).trimmed();
    co_return true;
}
