#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <httplib.h>

// What a client may take of the server.
struct ConnectionLimits
{
    // From the first byte of a request to the end of its headers.
    std::chrono::milliseconds headers{std::chrono::seconds(10)};
    // From the first byte of a request that is not an upload to the end of its body.
    std::chrono::milliseconds form{std::chrono::seconds(30)};
    // No byte moving for this long ends a connection, an upload's too.
    std::chrono::milliseconds idle{std::chrono::seconds(30)};
    // Bodies of requests that are not uploads; larger ones are refused unread.
    std::size_t formBytes = 1024 * 1024;
    // Connections served at once; each has a thread of its own.
    std::size_t connections = 256;
};

// Which requests carry an upload: their bodies are streamed to disk for as
// long as they move; every other body is small and read within a deadline.
using UploadFilter = std::function<bool(const httplib::Request &)>;

// Gives any server (TLS too) a thread per connection up to the cap and the
// body checks: a body too large, chunked or multipart where a form is expected
// is answered (413, 411, 415) before a byte of it is read.
void guardServer(httplib::Server &server, const ConnectionLimits &limits, UploadFilter isUpload);

// A plain HTTP server that a few slow clients cannot take over: on top of
// guardServer(), each request's headers, and the whole of a request that is
// not an upload, must arrive within their deadlines.
class GuardedServer final : public httplib::Server
{
public:
    GuardedServer(const ConnectionLimits &limits, UploadFilter isUpload);
    // After binding: lets a burst of new connections wait to be accepted.
    void widenBacklog();

private:
    bool process_and_close_socket(socket_t sock) override;

    ConnectionLimits m_limits;
};
