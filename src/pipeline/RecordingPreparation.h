#pragma once

#include "pipeline/EntryJob.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

class CProjectFile;
class ExecRunner;
class LanguageTable;
class MediaLibraries;
class ProgressView;
class RunnerControls;

// What the queue runner does with a recording after its getVersion reply.
struct RecordingVerdict
{
    enum class Next
    {
        Fail,    // the entry fails with `error`
        Stopped, // Stop was pressed: the entry waits again
        Pack     // pack and upload as `productName`
    };
    Next next = Next::Fail;
    QString error;
    // "Corvana" for a folder project, "Lumetra" for a single-file project.
    QString productName;
    // The server holds this content already: upload it as new content.
    bool uploadAsNew = false;
};

// Prepares a recording for its upload: applies the server's getVersion
// reply (refusals, slide size, quota, overwrite), verifies the recorded
// media through the recorder's library and renders the slides the server
// shows beside the recording. A folder project is prepared in its own
// folder, so its slides, list file and profile land beside "media.qv".
class RecordingPreparation final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecordingPreparation)

public:
    struct Parts
    {
        ProgressView &view;
        RunnerControls &controls;
        ExecRunner &runner;
        MediaLibraries &libraries;
        // The current project, loaded by the queue runner before the reply.
        CProjectFile &project;
        const LanguageTable &language;
    };

    explicit RecordingPreparation(Parts parts, QObject *parent = nullptr);

    // The slide size the server asked for last; kept from entry to entry.
    int slideWidth = 560;
    int slideHeight = 420;

    // The reply to a recording's first getVersion. The job's work folder is
    // the project's own folder, or the folder a single-file project was
    // unpacked into; its path is the entry's "project.qvp" or ".zdm".
    QCoro::Task<RecordingVerdict> RecordingVersionReply(QString replyText, EntryJob job);
    // The bytes a recording sends: the single-file project, or the whole
    // folder of a folder project. Reads the disk: run it off the loop.
    static qint64 uploadBytes(const QString &path);
    // Renders "slides/<n>.jpg" for every index item of the current project
    // and the cover "slides/cover.jpg" into the job's work folder, with the
    // list "thumbList.txt" of media positions. Any failure just ends it: the
    // upload goes ahead with the slides made so far. Stop ends it at once.
    QCoro::Task<> MakeSlides(EntryJob job);

    // A reply's "slidesize" ("640x480") into the slide size; false (and the
    // size unchanged) when it is not of that form.
    bool applySlideSize(const QString &slidesize);
    // The thumb command line of the link item `n` with address `url`: blanks
    // become commas, since the tool's arguments are split at blanks.
    QString thumbCommand(const QString &workFolder, int n, const QString &url) const;

    // Unpacks a single-file project into `folder`; the error, or empty.
    QCoro::Task<QString> unpackSingleFile(QString zdmPath, QString folder);
    // Stores the server's content id with a single-file project after its
    // upload: into the unpacked "project.qvp" in `workFolder` and back into
    // the ".zdm". The error, or empty.
    QCoro::Task<QString> storeServerInfo(QString zdmPath, QString workFolder, QString url, QString folderID,
                                         QString contentID);

    // Whether an entry's source is a recording, and which kind.
    static bool isFolderProject(const QString &path);
    static bool isSingleFileProject(const QString &path);

private:
    QCoro::Task<> renderFromMedia(EntryJob job);
    QCoro::Task<> renderSlides(EntryJob job);
    static void makeCover(const QString &workFolder);
    QString lang(const char *section, const char *key, const QString &fallback) const;

    Parts m;
};
