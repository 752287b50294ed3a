#pragma once

#include <QCoroTask>
#include <QStringList>
#include <functional>

class Session;

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
CliCommand uploadCommand();
CliCommand runQueueCommand();

// Small helpers for the commands' own options ("--name value" and flags).
namespace CliArgs {
// The value after `name`, or `fallback`; the pair is removed from `args`.
QString take(QStringList &args, const QString &name, const QString &fallback = {});
// Whether the flag is present; it is removed from `args`.
bool flag(QStringList &args, const QString &name);
// Prints the error and the command's usage; returns the exit status 2.
int usageError(const QString &message, const QString &usage);
} // namespace CliArgs
