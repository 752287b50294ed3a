#pragma once

#include "ContentStore.h"
#include "Database.h"
#include "Password.h"
#include "UpdateStore.h"
#include "UploadStore.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace httplib {
class Server;
struct Request;
struct Response;
class ContentReader;
} // namespace httplib

struct ServerOptions
{
    std::filesystem::path data;
    std::string host = "127.0.0.1";
    int port = 7380;
    std::string cert;
    std::string key;
};

// The content and update server: folder listing, version requests, resumable
// uploads (tus 1.0.0) and their registration, the version list and the web pages.
class TarnServer final
{
public:
    explicit TarnServer(ServerOptions options); // throws std::runtime_error
    ~TarnServer();
    TarnServer(const TarnServer &) = delete;
    TarnServer &operator=(const TarnServer &) = delete;

    // Binds the listening socket; returns the port, or -1.
    int bind();
    // Serves until stop(); false when it could not serve.
    bool run();
    void stop();
    std::string url() const;

private:
    void addRoutes();
    void getFolder(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader);
    void getVersion(const httplib::Request &req, httplib::Response &res,
                    const httplib::ContentReader &reader);
    void createUpload(const httplib::Request &req, httplib::Response &res,
                      const httplib::ContentReader &reader);
    void uploadOffset(const httplib::Request &req, httplib::Response &res);
    void patchUpload(const httplib::Request &req, httplib::Response &res,
                     const httplib::ContentReader &reader);
    void deleteUpload(const httplib::Request &req, httplib::Response &res);
    void registerUpload(const httplib::Request &req, httplib::Response &res,
                        const httplib::ContentReader &reader);
    void versionList(const httplib::Request &req, httplib::Response &res, const std::string &body);
    void updateFile(const httplib::Request &req, httplib::Response &res);

    std::optional<std::int64_t> contentOfUrl(const std::string &url, const std::string &requestHost);
    std::string setting(const std::string &key);
    // Where the client reached us: our scheme and its Host header, or our own address without one.
    std::string origin(const httplib::Request &req) const;

    ServerOptions m_options;
    Database m_db;
    UploadStore m_uploads;
    ContentStore m_contents;
    PasswordChecker m_passwords;
    UpdateStore::VersionLists m_versionLists;
    std::unique_ptr<httplib::Server> m_http;
    int m_port = -1;
    std::chrono::milliseconds m_patchDelay{0};
};
