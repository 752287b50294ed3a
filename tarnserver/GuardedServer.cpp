#include "GuardedServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// Threads are started as connections need them, up to a cap, and kept for
// the next ones; a connection beyond the cap waits for a free thread.
class ConnectionPool final : public httplib::TaskQueue
{
public:
    explicit ConnectionPool(std::size_t max) : m_max(std::max<std::size_t>(1, max)) {}
    ~ConnectionPool() override { shutdown(); }

    void enqueue(std::function<void()> fn) override
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(fn));
        if (m_jobs.size() > m_idle && m_threads.size() < m_max)
            m_threads.emplace_back([this] { work(); });
        else
            m_wake.notify_one();
    }

    void shutdown() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        for (std::thread &t : m_threads) {
            if (t.joinable())
                t.join();
        }
    }

private:
    void work()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            ++m_idle;
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            --m_idle;
            if (m_jobs.empty())
                return;
            std::function<void()> job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    const std::size_t m_max;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::thread> m_threads;
    std::size_t m_idle = 0;
    bool m_stopping = false;
};

// A socket read through a small buffer; each wait ends at the idle time-out or
// the request's deadline, whichever comes first.
class DeadlineStream final : public httplib::Stream
{
public:
    DeadlineStream(int fd, std::chrono::milliseconds idle) : m_fd(fd), m_idle(idle) {}

    void startRequest(std::chrono::milliseconds limit)
    {
        m_started = Clock::now();
        m_deadline = m_started + limit;
        m_headerBytes = kMaxHeaderBytes;
        m_inHeaders = true;
    }
    // httplib grows a request line or header line without bound while it looks for its end.
    void headersRead() { m_inHeaders = false; }
    void closeAfterReply() { m_closeAfter = true; }
    // After a failed read (time-out, too much, closed) the rest of the stream
    // is not a request: httplib answers 400 and would read on.
    bool closeAfter() const { return m_closeAfter; }
    void extendRequest(std::chrono::milliseconds limit) { m_deadline = m_started + limit; }
    void dropDeadline() { m_deadline = Clock::time_point::max(); }
    bool hasBuffered() const { return m_begin < m_end; }

    bool is_readable() const override { return hasBuffered() || wait(POLLIN, readWait()); }
    bool is_writable() const override { return wait(POLLOUT, m_idle); }

    ssize_t read(char *ptr, std::size_t size) override
    {
        if (!hasBuffered()) {
            if (!wait(POLLIN, readWait()))
                return fail();
            if (size >= sizeof m_buffer && !m_inHeaders) {
                const ssize_t n = ::recv(m_fd, ptr, size, 0);
                return n > 0 ? n : fail();
            }
            const ssize_t n = ::recv(m_fd, m_buffer, sizeof m_buffer, 0);
            if (n <= 0)
                return fail();
            m_begin = 0;
            m_end = static_cast<std::size_t>(n);
        }
        std::size_t n = std::min(size, m_end - m_begin);
        if (m_inHeaders) {
            if (m_headerBytes == 0)
                return fail();
            n = std::min(n, m_headerBytes);
            m_headerBytes -= n;
        }
        std::copy_n(m_buffer + m_begin, n, ptr);
        m_begin += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char *ptr, std::size_t size) override
    {
        if (!wait(POLLOUT, m_idle))
            return -1;
        return ::send(m_fd, ptr, size, MSG_NOSIGNAL);
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        address(::getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        address(::getsockname, ip, port);
    }
    socket_t socket() const override { return m_fd; }

private:
    ssize_t fail()
    {
        m_closeAfter = true;
        return -1;
    }

    std::chrono::milliseconds readWait() const
    {
        if (m_deadline == Clock::time_point::max())
            return m_idle;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
        return std::clamp(left, 0ms, m_idle);
    }

    bool wait(short events, std::chrono::milliseconds timeout) const
    {
        pollfd p{m_fd, events, 0};
        int rc = 0;
        do {
            rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
        } while (rc < 0 && errno == EINTR);
        return rc > 0;
    }

    template <typename Query> void address(Query query, std::string &ip, int &port) const
    {
        sockaddr_storage addr{};
        socklen_t length = sizeof addr;
        char host[NI_MAXHOST] = {};
        char service[NI_MAXSERV] = {};
        if (query(m_fd, reinterpret_cast<sockaddr *>(&addr), &length) == 0 &&
            ::getnameinfo(reinterpret_cast<sockaddr *>(&addr), length, host, sizeof host, service,
                          sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            ip = host;
            port = std::atoi(service);
        }
    }

    static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

    int m_fd;
    std::chrono::milliseconds m_idle;
    std::size_t m_headerBytes = kMaxHeaderBytes;
    bool m_inHeaders = false;
    bool m_closeAfter = false;
    Clock::time_point m_started;
    Clock::time_point m_deadline = Clock::time_point::max();
    char m_buffer[4096];
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

// The stream of the request this thread serves, for the check after the headers.
thread_local DeadlineStream *t_stream = nullptr;

bool waitForRequest(const std::atomic<socket_t> &listening, const DeadlineStream &stream,
                    std::chrono::seconds keepAlive)
{
    if (stream.hasBuffered())
        return true;
    pollfd p{stream.socket(), POLLIN, 0};
    // In slices, so that a stopping server (its socket closed) does not wait for idle connections.
    for (auto left = std::chrono::milliseconds(keepAlive); left > 0ms && listening != INVALID_SOCKET;
         left -= 100ms) {
        const int rc = ::poll(&p, 1, 100);
        if (rc > 0)
            return true;
        if (rc < 0 && errno != EINTR)
            return false;
    }
    return false;
}

// A close with unread bytes pending makes the kernel reset the connection,
// and the client may lose the answer it was sent (a 413, say). So the server
// first ends its side and reads on for a moment before it closes.
void lingeringClose(int fd)
{
    ::shutdown(fd, SHUT_WR);
    char discard[16384];
    std::size_t total = 0;
    const auto until = Clock::now() + 2s;
    while (total < (256u << 20) && Clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = ::recv(fd, discard, sizeof discard, 0);
        if (n <= 0)
            break;
        total += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

} // namespace

void guardServer(httplib::Server &server, const ConnectionLimits &limits, UploadFilter isUpload)
{
    const std::size_t connections = limits.connections;
    server.new_task_queue = [connections] { return new ConnectionPool(connections); };
    server.set_read_timeout(std::chrono::duration_cast<std::chrono::seconds>(limits.idle).count());
    server.set_write_timeout(std::chrono::duration_cast<std::chrono::seconds>(limits.idle).count());
    server.set_pre_routing_handler([limits, isUpload](const httplib::Request &req, httplib::Response &res) {
        if (t_stream)
            t_stream->headersRead();
        if (isUpload(req)) {
            if (t_stream)
                t_stream->dropDeadline();
            return httplib::Server::HandlerResponse::Unhandled;
        }
        if (t_stream)
            t_stream->extendRequest(limits.form);
        // The body stays unread, so the connection cannot carry another request.
        const auto refuse = [&res](int status) {
            res.status = status;
            res.set_header("Connection", "close");
            if (t_stream)
                t_stream->closeAfterReply();
            return httplib::Server::HandlerResponse::Handled;
        };
        if (std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) > limits.formBytes)
            return refuse(413);
        if (req.has_header("Transfer-Encoding"))
            return refuse(411);
        if (req.get_header_value("Content-Type").rfind("multipart/", 0) == 0)
            return refuse(415);
        return httplib::Server::HandlerResponse::Unhandled;
    });
}

GuardedServer::GuardedServer(const ConnectionLimits &limits, UploadFilter isUpload) : m_limits(limits)
{
    guardServer(*this, limits, std::move(isUpload));
}

void GuardedServer::widenBacklog()
{
    // httplib listens with a backlog of 5: a burst of connections would see
    // their SYNs dropped and retried a second later.
    if (svr_sock_ != INVALID_SOCKET)
        ::listen(svr_sock_, SOMAXCONN);
}

bool GuardedServer::process_and_close_socket(socket_t sock)
{
    DeadlineStream stream(sock, m_limits.idle);
    for (std::size_t count = keep_alive_max_count_; count > 0; --count) {
        if (!waitForRequest(svr_sock_, stream, std::chrono::seconds(keep_alive_timeout_sec_)))
            break;
        stream.startRequest(m_limits.headers);
        bool closed = false;
        t_stream = &stream;
        const bool ok = process_request(stream, count == 1, closed, nullptr);
        t_stream = nullptr;
        if (!ok || closed || stream.closeAfter())
            break;
    }
    lingeringClose(sock);
    return true;
}
