#pragma once

#include "add/VideoProbe.h"
#include "add/VideoSettings.h"
#include "server/LoginSession.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <optional>

class ExecRunner;
class LanguageTable;
class MediaLibraries;
struct CVideoItem;
struct ServerSettings;
namespace Messages {
class Channel;
}

// What a source is, by its file name.
enum class SourceKind
{
    None,
    Video,
    Project,          // project.qvp with media.qv beside it
    SingleFileProject // .zdm
};

// Why a source or a choice was refused: the text exactly as it is shown, and
// its language key (empty for the fixed English texts).
struct SourceFailure
{
    QString key;
    QString text;
};

// A source as the add dialogs learned it.
struct LoadedSource
{
    SourceKind kind = SourceKind::None; // by the name, also when loading failed
    QString path;
    bool loaded = false;
    std::optional<SourceFailure> failure; // set when not loaded
    // A recording's own texts; a video has none.
    QString title;
    QString author;
    QString version;
    QString recDate; // the first chapter's recording date
    // A video's probe; empty for a recording.
    ProbeResult probe;
    qint64 bytes = 0; // the source file
};

// Checks and loads one source for a queue entry, the same for the add
// dialog and the command line: a video is probed, a recording's project is
// read (a single-file project unpacked for that into a temporary folder,
// which is gone again when the load ends) and held against the project
// version the server accepts.
class SourceLoader final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SourceLoader)

public:
    // Which of the size messages a refused choice shows.
    enum class Changed
    {
        Conversion,
        Resolution
    };

    SourceLoader(ExecRunner &runner, const LanguageTable &language, Messages::Channel &messages,
                 QObject *parent = nullptr);
    ~SourceLoader() override;

    static SourceKind kindOf(const QString &path);
    // The video extensions offered, lower case, in the file dialog's order.
    static const QStringList &videoExtensions();
    // Whether a file's name is one the add dialog offers.
    static bool isSourceName(const QString &path);
    // Why a file cannot be a source, before anything is loaded: missing,
    // rm/rmvb, a DVD menu, a project without its media.
    static std::optional<SourceFailure> check(const LanguageTable &language, const QString &path);
    // Why a project cannot go to this server: it could not be read, or its
    // major version is above what the server accepts. The message names the
    // version's first character, whatever was read of it.
    static std::optional<SourceFailure> versionRefusal(const LanguageTable &language, bool readable,
                                                       const QString &version, const ServerSettings &server);
    // Why a choice for a loaded video cannot be uploaded: above 2 GiB.
    static std::optional<SourceFailure> sizeRefusal(const LanguageTable &language, const LoadedSource &source,
                                                    const VideoSettings::Choice &next,
                                                    const ServerSettings &server, Changed changed);
    // Writes the source and the choice into a queue entry: its file, and a
    // video's sizes, rates and conversion, or a recording's file as it is.
    static void fillEntry(CVideoItem &entry, const LoadedSource &source, const VideoSettings::Choice &choice,
                          const ServerSettings &server);
    // Writes where a dialog's entry goes and as whom: the login fields
    // trimmed, the chosen folder, a new content ("0"), the server's version
    // and whether the password is sent hashed.
    static void fillDestination(CVideoItem &entry, const LoginSession::Login &login, const QString &folderId,
                                const QString &folderName, const ServerSettings &server, bool hashPassword);

    // Checks and loads `path`. Unless `quiet`, a failure is shown through
    // the message helper, titled `messageTitle` (the probe's own messages
    // carry no title, as the single add dialog shows them).
    QCoro::Task<LoadedSource> load(QString path, ServerSettings server, bool quiet, QString messageTitle);

    // Probes started from now on end when `stop` is asked to.
    void setStopToken(StopToken stop);

Q_SIGNALS:
    // A probe or an unpacking began or ended: the dialog is busy meanwhile.
    void busyChanged(bool busy);

private:
    QCoro::Task<LoadedSource> loadVideo(LoadedSource source, bool quiet);
    QCoro::Task<LoadedSource> loadSingleFileProject(LoadedSource source, ServerSettings server, bool quiet);
    void readProject(LoadedSource &source, const QString &qvpPath, const ServerSettings &server, bool quiet);

    const LanguageTable &m_language;
    Messages::Channel &m_messages;
    VideoProbe *m_probe;
    MediaLibraries *m_libraries;
};
