// clipferry-cli: ClipFerry's pipeline without windows. Messages are printed;
// questions are answered from the options.

#include "cli/CliCommand.h"
#include "pipeline/Session.h"
#include "platform/Messages.h"
#include "update/CVerList.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

namespace {

QList<CliCommand> allCommands()
{
    return {convertCommand(),         foldersCommand(),     probeCommand(),
            sampleRecordingCommand(), sampleVideoCommand(), scanCommand(),
            uploadCommand(),          runQueueCommand(),    updateCommand()};
}

const CliCommand *findCommand(const QList<CliCommand> &commands, const QStringList &args)
{
    const CliCommand *best = nullptr;
    for (const CliCommand &command : commands) {
        if (args.mid(0, command.words.size()) == command.words &&
            (!best || command.words.size() > best->words.size()))
            best = &command;
    }
    return best;
}

int printUsage(const QList<CliCommand> &commands)
{
    QTextStream err(stderr);
    err << "usage:" << Qt::endl;
    for (const CliCommand &command : commands)
        err << "  clipferry-cli " << command.words.join(u' ') << ' ' << command.usage << Qt::endl;
    return 2;
}

QCoro::Task<> runCommand(const CliCommand *command, Session *session, QStringList args)
{
    const int status = co_await command->run(session, args);
    QCoreApplication::exit(status);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ClipFerry"));
    QStringList args = QCoreApplication::arguments().mid(1);
    const bool yes = CliArgs::flag(args, QStringLiteral("--yes"));
    if (args == QStringList{QStringLiteral("--version")}) {
        Session session;
        QTextStream(stdout) << ProgramVersion(session.language()) << Qt::endl;
        return 0;
    }
    const QList<CliCommand> commands = allCommands();
    const CliCommand *command = findCommand(commands, args);
    if (!command)
        return printUsage(commands);
    args = args.mid(command->words.size());
    Session session;
    session.messages().setPresenter(
        std::make_unique<Messages::ConsolePresenter>(yes ? Messages::Answer::Yes : Messages::Answer::No));
    QTimer::singleShot(0, &app, [command, &session, args] { runCommand(command, &session, args); });
    return QCoreApplication::exec();
}
