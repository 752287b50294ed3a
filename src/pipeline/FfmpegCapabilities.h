#pragma once

// The encoder command is written for the ffmpeg the player was made with; newer
// builds dropped some of its options. The installed ffmpeg is asked once what
// it knows ("-h full", "-encoders", "-filters"), and each command is adapted
// only where that ffmpeg lacks something:
//   -deinterlace (before the input)  -> "-vf yadif" after the input
//   -acodec libfaac                  -> -acodec aac (the native encoder)
//   -vsync 1                         -> -fps_mode cfr
//   -me_method M                     -> -motion-est M
//   -wpredp N                        -> -weightp N
//   any other unknown option         -> left out, with its value
// Where the installed ffmpeg knows an option, the command keeps it as it is.

#include <QCoroTask>
#include <QSet>
#include <QString>
#include <QStringList>

class ExecRunner;

struct FfmpegCapabilities
{
    // Option names without the dash, as "-h full" lists them.
    QSet<QString> options;
    QSet<QString> encoders;
    QSet<QString> filters;

    // True when the help could be read; an empty answer adapts nothing.
    bool known() const { return !options.isEmpty(); }

    static FfmpegCapabilities parse(const QString &helpFull, const QString &encoderList,
                                    const QString &filterList);
    static QCoro::Task<FfmpegCapabilities> query(ExecRunner &runner, QString ffmpeg);

    // The command line as the installed ffmpeg accepts it; `notes` receives
    // one line per change.
    QString adapt(const QString &commandLine, QStringList *notes = nullptr) const;

private:
    bool knowsOption(const QString &name) const;
};
