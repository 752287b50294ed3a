// clipferry-cli scan DIR: searches a folder tree as the batch dialog does
// and prints one JSON object a line for each find, in the dialog's order.

#include "add/SourceSearch.h"
#include "cli/CliCommand.h"
#include "pipeline/Session.h"
#include "platform/Coro.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

using namespace Qt::StringLiterals;

namespace {

const QString kUsage = u"DIR"_s;

QCoro::Task<int> run(Session *session, QStringList args)
{
    if (args.size() != 1 || args.first().startsWith(u'-'))
        co_return CliArgs::usageError(u"name one folder"_s, u"scan "_s + kUsage);
    if (!QFileInfo(args.first()).isDir()) {
        QTextStream(stderr) << "clipferry-cli: " << args.first() << " is not a folder" << Qt::endl;
        co_return 1;
    }
    // Without a server to ask, every project version this program reads counts.
    ServerSettings server;
    server.supportedQvpVer = 8;
    SourceSearch search(session->processes(), session->language(), session->messages());
    QObject::connect(&search, &SourceSearch::found, &search, [](const FoundSource &find) {
        const QJsonObject line{{u"kind"_s, find.kind},     {u"title"_s, find.title},
                               {u"author"_s, find.author}, {u"date"_s, find.date},
                               {u"path"_s, find.path},     {u"supported"_s, find.supported}};
        QTextStream(stdout) << QJsonDocument(line).toJson(QJsonDocument::Compact) << Qt::endl;
    });
    search.start(QFileInfo(args.first()).absoluteFilePath(), server);
    if (search.isRunning())
        co_await Coro::signal(&search, &SourceSearch::finished, std::chrono::milliseconds(-1));
    co_return 0;
}

} // namespace

CliCommand scanCommand()
{
    return {{u"scan"_s}, kUsage, run};
}
