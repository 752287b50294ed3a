// clipferry-cli scan DIR: searches a folder tree as the batch dialog does
// and prints one JSON object a line for each find, in the dialog's order.

#include "add/SourceSearch.h"
#include "cli/CliCommand.h"

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
    // Without a server to ask, every project version this program reads counts.
    ServerSettings server;
    server.supportedQvpVer = 8;
    const std::function<void(const FoundSource &)> print = [](const FoundSource &find) {
        const QJsonObject line{{u"kind"_s, SourceSearch::kindText(find.source.kind)},
                               {u"title"_s, find.title},
                               {u"author"_s, find.author},
                               {u"date"_s, find.date},
                               {u"path"_s, find.source.path},
                               {u"supported"_s, find.source.loaded}};
        QTextStream(stdout) << QJsonDocument(line).toJson(QJsonDocument::Compact) << Qt::endl;
    };
    const bool searched = co_await searchFolder(session, args.first(), server, print);
    co_return searched ? 0 : 1;
}

} // namespace

CliCommand scanCommand()
{
    return {{u"scan"_s}, kUsage, run};
}
