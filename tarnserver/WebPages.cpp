#include "WebPages.h"

#include "HttpUtil.h"
#include "ZipArchive.h"

#include <ctime>
#include <optional>
#include <sstream>

using httplib::Request;
using httplib::Response;
using namespace HttpUtil;

namespace {

const char *const kStyle = R"(
body{font-family:system-ui,sans-serif;margin:0;background:#f4f5f7;color:#1d2330}
header{background:#1f4e79;color:#fff;padding:14px 28px;font-size:20px}
header span{float:right;font-size:14px;opacity:.85}
main{padding:20px 28px}
table{border-collapse:collapse;width:100%;background:#fff;box-shadow:0 1px 3px #0002}
th,td{text-align:left;padding:8px 12px;border-bottom:1px solid #e3e6eb;vertical-align:middle}
th{background:#eef1f5;font-weight:600}
img.thumb{width:96px;height:72px;object-fit:cover;background:#d9dde3;display:block}
.nothumb{width:96px;height:72px;background:#d9dde3}
a{color:#1f4e79}
video{width:720px;max-width:100%;background:#000;display:block;margin-bottom:16px}
dl{display:grid;grid-template-columns:max-content auto;gap:6px 16px}
dt{font-weight:600}
)";

std::string page(const std::string &title, const std::string &account, const std::string &body)
{
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + htmlEscape(title) +
           " - ClipFerry server</title><style>" + kStyle +
           "</style></head><body><header>ClipFerry server<span>" + htmlEscape(account) +
           "</span></header><main>" + body + "</main></body></html>\n";
}

std::string dateText(std::int64_t seconds)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
    return text;
}

std::string sizeText(std::int64_t bytes)
{
    std::ostringstream out;
    out.precision(1);
    out << std::fixed;
    if (bytes < 1024 * 1024)
        out << static_cast<double>(bytes) / 1024 << " KB";
    else
        out << static_cast<double>(bytes) / (1024 * 1024) << " MB";
    return out.str();
}

bool signIn(Database &db, PasswordChecker &passwords, const Request &req, Response &res, Account &account)
{
    const Auth auth = authenticate(db, passwords, req);
    if (!auth.error) {
        account = auth.account;
        return true;
    }
    res.status = 401;
    res.set_header("WWW-Authenticate", "Basic realm=\"ClipFerry\", charset=\"UTF-8\"");
    res.set_content(page("Sign in", "", "<p>Sign in with your ClipFerry account to see your contents.</p>"),
                    "text/html; charset=utf-8");
    return false;
}

// Ready for an attribute: a name may hold '?', '#', '"' or anything else an archive allows.
std::string fileUrl(const Content &c, const std::string &file)
{
    return htmlEscape("/content/" + std::to_string(c.id) + "/file/" + urlEncodePath(file));
}

std::optional<Content> ownContent(Database &db, const Account &account, const std::string &id)
{
    std::int64_t number = 0;
    if (!parseInteger(id, number))
        return std::nullopt; // also a number too large for an id
    auto content = db.content(number);
    if (!content || content->account != account.id)
        return std::nullopt;
    return content;
}

} // namespace

namespace WebPages {

void add(httplib::Server &http, Database &db, PasswordChecker &passwords, ContentStore &contents)
{
    http.Get("/", [&db, &passwords](const Request &req, Response &res) {
        Account account;
        if (!signIn(db, passwords, req, res, account))
            return;
        std::string rows;
        for (const Content &c : db.contents(account.id)) {
            const std::string link = "/content/" + std::to_string(c.id);
            const std::string thumb =
                c.thumb.empty() ? "<div class=\"nothumb\"></div>"
                                : "<img class=\"thumb\" alt=\"\" src=\"" + fileUrl(c, c.thumb) + "\">";
            rows += "<tr><td><a href=\"" + link + "\">" + thumb + "</a></td><td><a href=\"" + link + "\">" +
                    htmlEscape(c.title) + "</a></td><td>" + htmlEscape(c.author) + "</td><td>" +
                    dateText(c.updated) + "</td><td>" + sizeText(c.size) + "</td><td>" + htmlEscape(c.type) +
                    "</td></tr>";
        }
        if (rows.empty())
            rows = "<tr><td colspan=\"6\">No contents yet. Upload one with ClipFerry.</td></tr>";
        res.set_content(
            page("Contents", account.name,
                 "<h2>Your contents</h2><table><tr><th></th><th>Title</th><th>Author</th><th>Date</th>"
                 "<th>Size</th><th>Type</th></tr>" +
                     rows + "</table>"),
            "text/html; charset=utf-8");
    });

    http.Get(R"(/content/(\d+)/?)", [&db, &passwords](const Request &req, Response &res) {
        Account account;
        if (!signIn(db, passwords, req, res, account))
            return;
        const auto c = ownContent(db, account, req.matches[1]);
        if (!c) {
            res.status = 404;
            res.set_content(
                page("Not found", account.name, "<p>No such content. <a href=\"/\">All contents</a></p>"),
                "text/html; charset=utf-8");
            return;
        }
        std::string player = "<p>This content has no playable video.</p>";
        if (!c->video.empty())
            player = "<video controls preload=\"metadata\" src=\"" + fileUrl(*c, c->video) + "\"" +
                     (c->thumb.empty() ? "" : " poster=\"" + fileUrl(*c, c->thumb) + "\"") + "></video>";
        res.set_content(page(c->title, account.name,
                             "<p><a href=\"/\">&larr; All contents</a></p><h2>" + htmlEscape(c->title) +
                                 "</h2>" + player + "<dl><dt>Author</dt><dd>" + htmlEscape(c->author) +
                                 "</dd><dt>Date</dt><dd>" + dateText(c->updated) + "</dd><dt>Size</dt><dd>" +
                                 sizeText(c->size) + "</dd><dt>Type</dt><dd>" + htmlEscape(c->type) +
                                 "</dd><dt>Content id</dt><dd>" + std::to_string(c->id) + "</dd></dl>"),
                        "text/html; charset=utf-8");
    });

    http.Get(R"(/content/(\d+)/file/(.+))", [&db, &passwords, &contents](const Request &req, Response &res) {
        Account account;
        if (!signIn(db, passwords, req, res, account))
            return;
        const auto c = ownContent(db, account, req.matches[1]);
        const std::string name = req.matches[2];
        if (!c || !isSafeEntryName(name) ||
            !sendFile(req, res, contents.filesOf(c->id) / name, contentTypeOf(name)))
            res.status = 404;
    });
}

} // namespace WebPages
