#pragma once

#include <QCoroTask>
#include <QStringList>
#include <functional>
#include <optional>

class Session;
struct FoundSource;
struct RunOptions;
struct ServerSettings;

// A subcommand of clipferry-cli ("sample video", "convert", ...). Each lives
// in a file of its own that offers it by a function below; main() lists them
// and picks the one whose words start the command line.
struct CliCommand
{
    // The words that select it, e.g. {"sample", "video"}.
    QStringList words;
    // One line for the usage text, after the words.
    QString usage;
    // Runs with the program's session and the arguments after the words;
    // returns the exit status.
    using Run = std::function<QCoro::Task<int>(Session *, QStringList)>;
    Run run;

    CliCommand(QStringList words, QString usage, Run run);
};

CliCommand convertCommand();
CliCommand foldersCommand();
CliCommand probeCommand();
CliCommand sampleRecordingCommand();
CliCommand sampleVideoCommand();
CliCommand scanCommand();
CliCommand uploadCommand();
CliCommand runQueueCommand();
CliCommand updateCommand();

// Searches `folder` as the batch dialog does, handing `found` each find in
// the dialog's order, until the search ends. False, with a message, when
// `folder` is not a folder.
QCoro::Task<bool> searchFolder(Session *session, QString folder, ServerSettings server,
                               std::function<void(const FoundSource &)> found);

// Small helpers for the commands' own options ("--name value" and flags).
namespace CliArgs {
// The value after `name`, or `fallback`; the pair is removed from `args`.
QString take(QStringList &args, const QString &name, const QString &fallback = {});
// Whether the flag is present; it is removed from `args`.
bool flag(QStringList &args, const QString &name);
// The high-speed choice: "--high-speed yes|no" (removed from `args`), else
// the stored one the window uses. Empty for another value.
std::optional<bool> highSpeed(QStringList &args);
// How conversions will use the machine, for the log: "high speed yes: 4
// encoder threads at normal priority".
QString describe(const RunOptions &options);
// The account's password: from "--password-file FILE" (its first line), else
// "--password P" (which every user of the machine can read in the process
// list), else the environment's CLIPFERRY_PASSWORD. Empty with `error` set
// when the file cannot be read.
QString password(QStringList &args, QString &error);
// How the commands that log in take the password, for their usage.
extern const QString kPasswordUsage;
// Prints the error and the command's usage; returns the exit status 2.
int usageError(const QString &message, const QString &usage);
} // namespace CliArgs
