#include "TarnServer.h"

#include "GuardedServer.h"
#include "HttpUtil.h"
#include "Password.h"
#include "Replies.h"
#include "SafeXml.h"
#include "ServerSettings.h"
#include "UpdateStore.h"
#include "WebPages.h"
#include "ZipArchive.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <regex>
#include <thread>

namespace fs = std::filesystem;
using httplib::ContentReader;
using httplib::Request;
using httplib::Response;
using namespace HttpUtil;

namespace {

const char *const kTusVersion = "1.0.0";
const char *const kUploadsPattern = R"((.*)/tarn/putFile/uploads/?)";
const char *const kUploadPattern = R"((.*)/tarn/putFile/uploads/([0-9a-f]{32}))";

std::string httpDate(std::int64_t seconds)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return text;
}

std::string withoutScheme(std::string url)
{
    for (const char *scheme : {"http://", "https://"}) {
        const std::string_view s(scheme);
        if (url.size() >= s.size() && equalsNoCase(std::string_view(url).substr(0, s.size()), s))
            return url.substr(s.size());
    }
    return url;
}

// The HTTP status a tus request answers with for an error code.
int tusStatus(int code)
{
    switch (code) {
    case ErrorCode::Malformed:
        return 400;
    case ErrorCode::UnknownAccount:
    case ErrorCode::WrongPassword:
        return 401;
    case ErrorCode::NoFolder:
    case ErrorCode::NoContent:
        return 404;
    case ErrorCode::TooLarge:
        return 413;
    case ErrorCode::Internal:
        return 500;
    default:
        return 403;
    }
}

void tusRefuse(Response &res, int code)
{
    sendXml(res, Replies::error(code), tusStatus(code));
    if (code == ErrorCode::UnknownAccount || code == ErrorCode::WrongPassword)
        res.set_header("WWW-Authenticate", "Basic realm=\"ClipFerry\"");
}

bool hasTusVersion(const Request &req, Response &res)
{
    if (req.get_header_value("Tus-Resumable") == kTusVersion)
        return true;
    res.status = 412;
    res.set_header("Tus-Version", kTusVersion);
    return false;
}

bool isSha256Hex(std::string &text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Only a tus PATCH streams a large body; every other request is small and quick.
bool isUploadRequest(const Request &req)
{
    static const std::regex upload(kUploadPattern);
    return req.method == "PATCH" && std::regex_match(req.path, upload);
}

ConnectionLimits connectionLimits()
{
    ConnectionLimits limits;
    if (const char *headers = std::getenv("CLIPFERRY_SERVER_HEADER_MS"))
        limits.headers = std::chrono::milliseconds(std::strtoll(headers, nullptr, 10));
    return limits;
}

// The data folder is created on first use; the database lies at its top. The
// database holds password hashes and the folder the uploads: both are the
// owner's only, also when an older server left them open to others.
void keepToOwner(const fs::path &data)
{
    fs::permissions(data, fs::perms::owner_all);
    std::error_code ec;
    for (const char *name : {"tarn.db", "tarn.db-wal", "tarn.db-shm"}) {
        if (fs::exists(data / name, ec))
            fs::permissions(data / name, fs::perms::owner_read | fs::perms::owner_write, ec);
    }
}

std::string databasePath(const fs::path &data)
{
    fs::create_directories(data);
    keepToOwner(data);
    return (data / "tarn.db").string();
}

} // namespace

TarnServer::TarnServer(ServerOptions options)
    : m_options(std::move(options)), m_db(databasePath(m_options.data)),
      m_uploads(m_db, m_options.data / "uploads"), m_contents(m_db, m_uploads, m_options.data / "contents"),
      m_versionLists(m_options.data)
{
    if (!m_options.cert.empty() || !m_options.key.empty()) {
        m_http = std::make_unique<httplib::SSLServer>(m_options.cert.c_str(), m_options.key.c_str());
        if (!m_http->is_valid())
            throw std::runtime_error("cannot use the certificate " + m_options.cert + " and key " +
                                     m_options.key);
        guardServer(*m_http, connectionLimits(), isUploadRequest);
    } else {
        m_http = std::make_unique<GuardedServer>(connectionLimits(), isUploadRequest);
    }
    // Tests and benchmarks slow each chunk down to stop a client mid-upload.
    if (const char *delay = std::getenv("CLIPFERRY_SERVER_PATCH_DELAY_MS"))
        m_patchDelay = std::chrono::milliseconds(std::strtoll(delay, nullptr, 10));
    keepToOwner(m_options.data); // the database files the open just made
    m_contents.recover();
    m_uploads.recover();
    m_uploads.expire();
    addRoutes();
}

TarnServer::~TarnServer() = default;

std::string TarnServer::setting(const std::string &key)
{
    return ServerSettings::value(m_db, key);
}

int TarnServer::bind()
{
    m_port = m_options.port == 0
                 ? m_http->bind_to_any_port(m_options.host)
                 : (m_http->bind_to_port(m_options.host, m_options.port) ? m_options.port : -1);
    if (auto *guarded = dynamic_cast<GuardedServer *>(m_http.get()); guarded && m_port > 0)
        guarded->widenBacklog();
    return m_port;
}

bool TarnServer::run()
{
    return m_http->listen_after_bind();
}

void TarnServer::stop()
{
    m_http->stop();
}

std::string TarnServer::url() const
{
    return std::string(m_options.cert.empty() ? "http://" : "https://") + m_options.host + ":" +
           std::to_string(m_port);
}

std::string TarnServer::origin(const Request &req) const
{
    const std::string host = req.get_header_value("Host");
    return host.empty() ? url() : std::string(m_options.cert.empty() ? "http://" : "https://") + host;
}

void TarnServer::addRoutes()
{
    httplib::Server &http = *m_http;
    http.set_keep_alive_max_count(1000);
    http.set_logger([](const Request &req, const Response &res) {
        std::fprintf(stderr, "%s %s %d\n", req.method.c_str(), req.path.c_str(), res.status);
    });
    http.set_exception_handler([](const Request &req, Response &res, std::exception_ptr ep) {
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "error: %s\n", e.what());
        } catch (...) {
        }
        // The form requests answer every failure, a full disk too, with HTTP 200 and the code.
        const bool tus = req.path.find("/tarn/putFile/uploads") != std::string::npos;
        const bool verinfo = req.path.find("/verinfo.php") != std::string::npos;
        const bool form = !tus && (verinfo || req.path.find("/tarn/") != std::string::npos);
        sendXml(res, Replies::error(ErrorCode::Internal, verinfo ? "verinfo" : "tarn"), form ? 200 : 500);
    });

    http.Post(R"((.*)/tarn/getfolder/?)",
              [this](const Request &req, Response &res, const ContentReader &r) { getFolder(req, res, r); });
    http.Post(R"((.*)/tarn/getVersion/?)",
              [this](const Request &req, Response &res, const ContentReader &r) { getVersion(req, res, r); });
    http.Post(R"((.*)/tarn/putFile/?)", [this](const Request &req, Response &res, const ContentReader &r) {
        registerUpload(req, res, r);
    });
    http.Post(kUploadsPattern, [this](const Request &req, Response &res, const ContentReader &r) {
        createUpload(req, res, r);
    });
    http.Get(kUploadPattern, [this](const Request &req, Response &res) { uploadOffset(req, res); });
    http.Patch(kUploadPattern, [this](const Request &req, Response &res, const ContentReader &r) {
        patchUpload(req, res, r);
    });
    http.Delete(kUploadPattern, [this](const Request &req, Response &res) { deleteUpload(req, res); });
    const auto options = [](const Request &, Response &res) {
        res.status = 204;
        res.set_header("Tus-Resumable", kTusVersion);
        res.set_header("Tus-Version", kTusVersion);
        res.set_header("Tus-Extension", "creation,termination,checksum,expiration");
        res.set_header("Tus-Max-Size", std::to_string(UploadStore::kMaxLength));
        res.set_header("Tus-Checksum-Algorithm", "sha1");
    };
    http.Options(kUploadsPattern, options);
    http.Options(kUploadPattern, options);

    http.Post(R"((.*)/version_ctrl/clipferry/verinfo\.php)",
              [this](const Request &req, Response &res, const ContentReader &r) {
                  std::string body;
                  if (!readBody(r, body))
                      return sendXml(res, Replies::error(ErrorCode::Malformed, "verinfo"));
                  versionList(req, res, body);
              });
    http.Get(R"((.*)/version_ctrl/clipferry/(.+))",
             [this](const Request &req, Response &res) { updateFile(req, res); });

    WebPages::add(http, m_db, m_passwords, m_contents);
}

void TarnServer::getFolder(const Request &req, Response &res, const ContentReader &reader)
{
    std::string body;
    const bool bodyOk = readBody(reader, body);
    const Auth auth = authenticate(m_db, m_passwords, req);

    pugi::xml_document doc;
    pugi::xml_node root = Replies::start(doc);
    root.append_attribute("qvpver") = setting("qvpver").c_str();
    pugi::xml_node sysinfo = root.append_child("sysinfo");
    Replies::add(sysinfo, "ver", setting("sysver"));
    Replies::add(sysinfo, "enc", setting("enc"));
    pugi::xml_node cvt = sysinfo.append_child("cvtSetting");
    Replies::add(cvt, "noCvtForMp4", setting("noCvtForMp4"));
    Replies::add(cvt, "customBps", setting("customBps"));
    Replies::add(sysinfo, "adID", setting("adID"));
    Replies::add(sysinfo, "resolution", setting("resolution"));
    Replies::add(sysinfo, "urloverwrite", setting("urloverwrite"));
    Replies::add(sysinfo, "url", setting("url"));

    const int error = !bodyOk ? ErrorCode::Malformed : auth.error;
    if (error) {
        root.child("errInfo").text().set(std::to_string(error).c_str());
        return sendXml(res, Replies::text(doc));
    }
    const std::vector<Folder> folders = m_db.folders();
    if (setting("folderform") == "flat") {
        std::map<std::int64_t, const Folder *> byId;
        for (const Folder &f : folders)
            byId[f.id] = &f;
        for (const Folder &f : folders) {
            if (!f.uploadable)
                continue;
            std::string path = f.name;
            const Folder *p = &f;
            for (int depth = 0; depth < 64 && byId.count(p->parent); ++depth) {
                p = byId[p->parent];
                path = p->name + "/" + path;
            }
            pugi::xml_node item = root.append_child("item");
            Replies::add(item, "id", std::to_string(f.id));
            Replies::add(item, "name", path);
        }
    } else {
        pugi::xml_node list = root.append_child("folder");
        for (const Folder &f : folders) {
            pugi::xml_node item = list.append_child("item");
            Replies::add(item, "id", std::to_string(f.id));
            Replies::add(item, "pid", std::to_string(f.parent));
            Replies::add(item, "name", f.name);
            Replies::add(item, "uploadable", f.uploadable ? "1" : "0");
        }
    }
    sendXml(res, Replies::text(doc));
}

std::optional<std::int64_t> TarnServer::contentOfUrl(const std::string &url, const std::string &requestHost)
{
    std::string rest = withoutScheme(url);
    rest = rest.substr(0, rest.find_first_of("?#"));
    const size_t slash = rest.find('/');
    if (slash == std::string::npos)
        return std::nullopt;
    const std::string host = rest.substr(0, slash);
    std::string path = rest.substr(slash);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    std::string publicHost = withoutScheme(setting("publicurl"));
    publicHost = publicHost.substr(0, publicHost.find('/'));
    if (!equalsNoCase(host, requestHost) && (publicHost.empty() || !equalsNoCase(host, publicHost)))
        return std::nullopt;
    const std::string marker = "/content/";
    const size_t at = path.rfind(marker);
    std::int64_t id = 0;
    if (at == std::string::npos || !parseInteger(path.substr(at + marker.size()), id))
        return std::nullopt;
    return id;
}

void TarnServer::getVersion(const Request &req, Response &res, const ContentReader &reader)
{
    std::string body;
    if (!readBody(reader, body))
        return sendXml(res, Replies::error(ErrorCode::Malformed));
    const Auth auth = authenticate(m_db, m_passwords, req);
    if (auth.error)
        return sendXml(res, Replies::error(auth.error));
    auto form = parseForm(body);
    std::int64_t folderId = 0;
    std::int64_t contentId = -1;
    const std::string tool = form["tool"];
    if (tool.empty() || !parseInteger(form["folderID"], folderId) ||
        (!form["contentID"].empty() && !parseInteger(form["contentID"], contentId)))
        return sendXml(res, Replies::error(ErrorCode::Malformed));

    std::string overwrite;
    std::int64_t target = 0;
    const std::string url = form["url"];
    if (!url.empty()) {
        const auto id = contentOfUrl(url, req.get_header_value("Host"));
        if (!id)
            return sendXml(res, Replies::error(ErrorCode::ForeignUrl));
        const auto content = m_db.content(*id);
        if (!content)
            return sendXml(res, Replies::error(ErrorCode::NoContent));
        target = content->id;
        overwrite = content->account == auth.account.id ? "1" : "2";
    } else {
        const auto folder = m_db.folder(folderId);
        if (!folder)
            return sendXml(res, Replies::error(ErrorCode::NoFolder));
        if (!folder->uploadable)
            return sendXml(res, Replies::error(ErrorCode::FolderNotUploadable));
        if (contentId > 0) {
            if (const auto content = m_db.content(contentId)) {
                if (content->folder != folderId)
                    overwrite = "3";
                else
                    overwrite = content->account == auth.account.id ? "1" : "2";
            }
        }
    }
    m_db.announce(auth.account.id, folderId,
                  Announcement{tool.rfind("p.", 0) == 0 ? "p" : "v", target, unixNow()});

    pugi::xml_document doc;
    pugi::xml_node root = Replies::start(doc);
    Replies::add(root, "videotype", setting("videotype"));
    Replies::add(root, "videosrc", setting("videosrc"));
    Replies::add(root, "slidesize", setting("slidesize"));
    pugi::xml_node quota = root.append_child("quota");
    Replies::add(quota, "total", std::to_string(auth.account.quotaMb));
    Replies::add(quota, "free", std::to_string(m_contents.freeBytes(auth.account) / ContentStore::kMegabyte));
    Replies::add(quota, "maxsize",
                 std::to_string(m_contents.maxBytes(auth.account) / ContentStore::kMegabyte));
    Replies::add(root, "overwrite", overwrite);
    Replies::add(root, "contentID", target > 0 ? std::to_string(target) : std::string());
    sendXml(res, Replies::text(doc));
}

void TarnServer::createUpload(const Request &req, Response &res, const ContentReader &reader)
{
    drainBody(reader);
    res.set_header("Tus-Resumable", kTusVersion);
    if (!hasTusVersion(req, res))
        return;
    const Auth auth = authenticate(m_db, m_passwords, req);
    if (auth.error)
        return tusRefuse(res, auth.error);
    std::int64_t length = 0;
    if (!parseInteger(req.get_header_value("Upload-Length"), length) || length < 0)
        return tusRefuse(res, ErrorCode::Malformed);
    if (length > UploadStore::kMaxLength) {
        res.status = 413;
        return;
    }
    bool ok = false;
    auto meta = parseTusMetadata(req.get_header_value("Upload-Metadata"), ok);
    std::int64_t folder = 0;
    std::int64_t content = 0;
    std::string sha256 = meta["sha256"];
    if (!ok || meta["filename"].empty() || !parseInteger(meta["folderID"], folder) ||
        !parseInteger(meta["contentID"], content) || !isSha256Hex(sha256))
        return tusRefuse(res, ErrorCode::Malformed);
    const Target target = m_contents.resolveTarget(auth.account, folder, content);
    if (target.error)
        return tusRefuse(res, target.error);
    if (const int error = m_contents.sizeError(auth.account, length, target.replace))
        return tusRefuse(res, error);

    m_uploads.expire();
    const Upload upload =
        m_uploads.create(auth.account.id, length, folder, content, meta["filename"], sha256);
    const std::string prefix = req.matches[1];
    res.status = 201;
    res.set_header("Location", origin(req) + prefix + "/tarn/putFile/uploads/" + upload.id);
    res.set_header("Upload-Expires", httpDate(upload.expires));
}

void TarnServer::uploadOffset(const Request &req, Response &res)
{
    res.set_header("Tus-Resumable", kTusVersion);
    if (req.method != "HEAD") {
        res.status = 405;
        return;
    }
    if (!hasTusVersion(req, res))
        return;
    const Auth auth = authenticate(m_db, m_passwords, req);
    if (auth.error) {
        res.status = tusStatus(auth.error);
        return;
    }
    const auto upload = m_uploads.find(req.matches[2], auth.account.id);
    if (!upload) {
        res.status = 404;
        return;
    }
    res.status = 200;
    res.set_header("Upload-Offset", std::to_string(upload->offset));
    res.set_header("Upload-Length", std::to_string(upload->length));
    res.set_header("Upload-Expires", httpDate(upload->expires));
    res.set_header("Cache-Control", "no-store");
}

void TarnServer::patchUpload(const Request &req, Response &res, const ContentReader &reader)
{
    res.set_header("Tus-Resumable", kTusVersion);
    const auto refuse = [&](int status) {
        drainBody(reader);
        res.status = status;
    };
    if (!hasTusVersion(req, res))
        return drainBody(reader);
    if (m_patchDelay.count() > 0)
        std::this_thread::sleep_for(m_patchDelay);
    const Auth auth = authenticate(m_db, m_passwords, req);
    if (auth.error)
        return refuse(tusStatus(auth.error));
    if (req.get_header_value("Content-Type") != "application/offset+octet-stream")
        return refuse(415);
    std::int64_t offset = 0;
    if (!parseInteger(req.get_header_value("Upload-Offset"), offset))
        return refuse(400);
    const std::string id = req.matches[2];
    if (!m_uploads.find(id, auth.account.id))
        return refuse(404);
    std::string sha1;
    if (req.has_header("Upload-Checksum") && !parseTusChecksum(req.get_header_value("Upload-Checksum"), sha1))
        return refuse(400);
    const auto result = m_uploads.patch(id, offset, sha1, [&](const UploadStore::Sink &sink) {
        return reader([&](const char *data, size_t size) { return sink(data, size); });
    });
    using S = UploadStore::PatchStatus;
    switch (result.status) {
    case S::Done:
        res.status = 204;
        res.set_header("Upload-Offset", std::to_string(result.offset));
        return;
    case S::Cut:
        res.status = 400;
        return;
    case S::NotFound:
        return refuse(404);
    case S::Conflict:
        return refuse(409);
    case S::Locked:
        return refuse(423);
    case S::ChecksumMismatch:
        res.status = 460;
        return;
    case S::TooLong:
        res.status = 413;
        return;
    case S::Failed:
        sendXml(res, Replies::error(ErrorCode::Internal), 500);
        return;
    }
}

void TarnServer::deleteUpload(const Request &req, Response &res)
{
    res.set_header("Tus-Resumable", kTusVersion);
    if (!hasTusVersion(req, res))
        return;
    const Auth auth = authenticate(m_db, m_passwords, req);
    if (auth.error) {
        res.status = tusStatus(auth.error);
        return;
    }
    const std::string id = req.matches[2];
    if (!m_uploads.find(id, auth.account.id)) {
        res.status = 404;
        return;
    }
    m_uploads.remove(id);
    res.status = 204;
}

void TarnServer::registerUpload(const Request &req, Response &res, const ContentReader &reader)
{
    std::string body;
    if (!readBody(reader, body))
        return sendXml(res, Replies::error(ErrorCode::Malformed));
    const Auth auth = authenticate(m_db, m_passwords, req);
    if (auth.error)
        return sendXml(res, Replies::error(auth.error));
    auto form = parseForm(body);
    std::string name = form["upload"];
    while (!name.empty() && name.back() == '/')
        name.pop_back();
    name = name.substr(name.find_last_of('/') + 1);
    std::string sha256 = form["sha256"];
    if (name.empty() || (!sha256.empty() && !isSha256Hex(sha256)))
        return sendXml(res, Replies::error(ErrorCode::Malformed));
    const auto result = m_contents.registerUpload(auth.account, name, sha256);
    if (result.error) {
        std::fprintf(stderr, "upload %s refused (%d): %s\n", name.c_str(), result.error,
                     result.detail.c_str());
        return sendXml(res, Replies::error(result.error));
    }
    pugi::xml_document doc;
    pugi::xml_node root = Replies::start(doc);
    Replies::add(root, "contentID", std::to_string(result.content));
    // The content's page: on the public address when one is set, else where the client reached us.
    std::string base = setting("publicurl");
    if (base.empty())
        base = origin(req);
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    Replies::add(root, "contentUrl", base + "/content/" + std::to_string(result.content));
    sendXml(res, Replies::text(doc));
}

void TarnServer::versionList(const Request &req, Response &res, const std::string &body)
{
    auto form = parseForm(body);
    const std::string ver = form.count("ver") ? form["ver"] : req.get_param_value("ver");
    if (ver.empty())
        return sendXml(res, Replies::error(ErrorCode::Malformed, "verinfo"));
    std::string reply;
    std::string error;
    if (!m_versionLists.reply(req.get_param_value("draft") == "1", reply, error)) {
        std::fprintf(stderr, "version list: %s\n", error.c_str());
        return sendXml(res, Replies::error(ErrorCode::Internal, "verinfo"));
    }
    sendXml(res, reply);
}

void TarnServer::updateFile(const Request &req, Response &res)
{
    const std::string path = req.matches[2];
    if (path == "verinfo.php")
        return versionList(req, res, std::string());
    if (!isSafeEntryName(path) || UpdateStore::isPrivate(path) ||
        !sendFile(req, res, m_options.data / "updates" / path, contentTypeOf(path)))
        res.status = 404;
}
