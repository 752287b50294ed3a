// clipferry-cli folders: logs in as the add dialog does and prints the
// server's folder tree as the dialog would offer it.

#include "cli/CliCommand.h"
#include "cli/CliLogin.h"
#include "pipeline/Session.h"

#include <QTextStream>

namespace {

const QString kUsage = QStringLiteral("--server S --account A ") + CliArgs::kPasswordUsage +
                       QStringLiteral(" [--hash | --plain]");

int depthOf(const CFolderNode *node)
{
    int depth = 0;
    for (const CFolderNode *n = node->Parent; n && n->Parent; n = n->Parent)
        ++depth;
    return depth;
}

void printTree(const CFolderTree &tree, const QString &server)
{
    QTextStream out(stdout);
    out << server << Qt::endl;
    for (const CFolderNode *node = tree.GetNextNode(tree.Root); node; node = tree.GetNextNode(node)) {
        out << QString(2 * (depthOf(node) + 1), u' ') << node->ID << ' ' << node->Name;
        if (node->Uploadable)
            out << " (uploadable)";
        if (node == tree.Selected)
            out << " (default)";
        out << Qt::endl;
    }
}

QCoro::Task<int> run(Session *session, QStringList args)
{
    const QString server = CliArgs::take(args, QStringLiteral("--server"));
    const QString account = CliArgs::take(args, QStringLiteral("--account"));
    QString problem;
    const QString password = CliArgs::password(args, problem);
    if (!problem.isEmpty())
        co_return CliArgs::usageError(problem, kUsage);
    const bool hash = CliArgs::flag(args, QStringLiteral("--hash"));
    const bool plain = CliArgs::flag(args, QStringLiteral("--plain"));
    if (!args.isEmpty())
        co_return CliArgs::usageError(QStringLiteral("unknown argument: %1").arg(args.first()), kUsage);
    if (server.isEmpty() || account.isEmpty())
        co_return CliArgs::usageError(QStringLiteral("--server and --account are required"), kUsage);
    if (hash && plain)
        co_return CliArgs::usageError(QStringLiteral("--hash and --plain exclude each other"), kUsage);

    ServerAccess access;
    access.hashPassword = !plain;
    if (!co_await logInAsDialog(&session->transfer(), &session->language(), &session->messages(), &access,
                                server, account, password))
        co_return 1;
    printTree(access.folderTree, server);
    co_return 0;
}

} // namespace

CliCommand foldersCommand()
{
    return {{QStringLiteral("folders")}, kUsage, run};
}
