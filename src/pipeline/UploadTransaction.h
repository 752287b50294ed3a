#pragma once

#include "platform/StopToken.h"
#include "queue/CVideoItem.h"
#include "server/TransferControl.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <optional>

class DefaultProject;
class LanguageTable;
class ProgressView;
class RunnerControls;
class TransferControl;
namespace Messages {
class Channel;
}

// What a getVersion reply says. A reply that is not XML reads as empty
// fields: no error, no quota, and the entry goes on.
struct VersionReply
{
    QString errInfo;
    QString showInfo;
    QString videotype;
    QString videosrc;
    QString slidesize;
    QString overwrite;
    // All three, or none when any is missing.
    // The quota in MB as the reply words it; the check is skipped when any
    // of the three is missing or empty.
    QString quotaTotal;
    QString quotaFree;
    QString quotaMaxSize;

    static VersionReply parse(const QString &text);
    // The entry's error text for a refusal ("GetVersion: ..."); empty when
    // the reply carries no error key.
    QString errorText(const LanguageTable &language, const QString &tarnErrorText) const;
    // The entry's error text when `requiredMB` does not fit; empty when it
    // does or the reply has no quota.
    QString quotaFailure(qint64 requiredMB) const;
    // The entry's error text for an "overwrite" of "2" or "3"; empty otherwise.
    QString overwriteRefusal(const LanguageTable &language, const QString &tarnErrorText) const;
};

// The exchange with the content server for one entry: the getVersion
// requests and the upload of the packed archive with its reply.
class UploadTransaction final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UploadTransaction)

public:
    UploadTransaction(TransferControl &tarn, ProgressView &view, RunnerControls &controls,
                      DefaultProject &defaultProject, const LanguageTable &language,
                      Messages::Channel &messages, QObject *parent = nullptr);

    // The current entry, copied in before each entry.
    CVideoItem entry;
    QString lastError;

    // Sends getVersion and awaits the reply's text; nothing when `stop` came
    // first, an empty text when no reply arrived (lastError says why).
    QCoro::Task<std::optional<QString>> SendVersionRequest(QString postData, int contentId, StopToken stop);
    // The post data of a version request: "tool=v." (or "tool=p." for a
    // single-file recording) and the version, with the overwrite URL.
    QString versionPostData(bool singleFileProject) const;
    // Uploads zipFolder/tarn_file.zip, going on with an earlier run's upload
    // when `resume` names one; true when the server stored it with a content
    // id, which `storedContentId` then holds. A stopped upload is removed
    // from the server. The archive stays where it is.
    QCoro::Task<bool> UploadPackage(QString zipFolder, int contentId, StopToken stop,
                                    UploadResume resume = {});
    // The upload's content id on success.
    QString storedContentId;
    // The bytes the server held of a resumed upload when it went on; -1 for
    // an upload made from the start.
    qint64 resumedAt = -1;
    // The content's page as the server names it; empty when it names none.
    QString storedContentUrl;

    // The server's address for a request path ("/tarn/getVersion/").
    QString serverUrl(const QString &requestPath) const;
    // The estimate of a first reply, in MB: the source for server-side
    // conversion, else the bit rates times the duration.
    static qint64 requiredMegabytes(const CVideoItem &entry);
    static qint64 megabytes(qint64 bytes);
    static QString tarnErrorText(const LanguageTable &language);

private:
    // The entry's folder id as a number, or -1 in overwrite-by-URL mode,
    // where the server finds the content by its address.
    int folderIdToSend() const;
    QString statusUploading() const;
    void showUploadProgress(int percent);

    TransferControl &m_tarn;
    ProgressView &m_view;
    RunnerControls &m_controls;
    DefaultProject &m_defaultProject;
    const LanguageTable &m_language;
    Messages::Channel &m_messages;
};
