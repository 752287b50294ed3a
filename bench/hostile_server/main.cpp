// bench_hostile_server [SECONDS] [SLOW] [HUGE]
//
// Starts clipferry-server on a fresh data folder, then for SECONDS (default 20)
// keeps SLOW connections (default 64) sending their headers a line every 200 ms
// and HUGE connections (default 16) posting 300 MB form bodies as fast as the
// server takes them; each one that ends is opened again. Meanwhile a normal
// client asks for the folder listing every 250 ms. Prints the server's peak
// resident memory (target: under 150 MB) and the slowest normal reply under
// attack against the slowest one of the same client before it (target: under
// a second).

#include "ServerChild.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <httplib.h>
#include <iostream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

int connectTo(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

bool sendAll(int fd, const std::string &data)
{
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// One header line every 200 ms until the server hangs up; then again.
void slowSender(int port, const std::atomic_bool &stop, std::atomic_int &cut)
{
    while (!stop) {
        const int fd = connectTo(port);
        if (fd < 0 || !sendAll(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")) {
            std::this_thread::sleep_for(100ms);
            continue;
        }
        while (!stop && sendAll(fd, "X-Slow: a\r\n"))
            std::this_thread::sleep_for(200ms);
        ++cut;
        close(fd);
    }
}

// A 300 MB form body, sent as fast as the server reads it; then again.
void hugeSender(int port, const std::atomic_bool &stop, std::atomic_int &refused)
{
    const std::string block(1 << 20, 'a');
    while (!stop) {
        const int fd = connectTo(port);
        if (fd < 0 || !sendAll(fd, "POST /tarn/getfolder/ HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                   "Content-Type: application/x-www-form-urlencoded\r\n"
                                   "Content-Length: 314572800\r\n\r\n")) {
            std::this_thread::sleep_for(100ms);
            continue;
        }
        for (int i = 0; i < 300 && !stop && sendAll(fd, block); ++i) {
        }
        ++refused;
        close(fd);
    }
}

// The slowest of the normal client's requests over `length`, in ms; -1 when one failed.
long normalClient(int port, std::chrono::seconds length)
{
    httplib::Client client("127.0.0.1", port);
    client.set_basic_auth("demo", "demo");
    client.set_read_timeout(30);
    long slowest = 0;
    for (const auto end = Clock::now() + length; Clock::now() < end;) {
        const auto start = Clock::now();
        const auto res = client.Post("/tarn/getfolder/", "tool=v.1", "application/x-www-form-urlencoded");
        if (!res || res->status != 200 || res->body.find("<errInfo></errInfo>") == std::string::npos)
            return -1;
        slowest = std::max<long>(
            slowest, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        std::this_thread::sleep_for(250ms);
    }
    return slowest;
}

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 20;
    const int slow = argc > 2 ? std::atoi(argv[2]) : 64;
    const int huge = argc > 3 ? std::atoi(argv[3]) : 16;
    const fs::path program = fs::canonical("/proc/self/exe").parent_path() / "clipferry-server";
    const fs::path work = fs::temp_directory_path() / ("clipferry-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    const ServerChild server = startServer(program, work / "data");
    if (server.pid < 0 || server.port == 0) {
        std::cerr << "cannot start " << program << "\n";
        return 1;
    }
    const long calm = normalClient(server.port, 3s);

    std::atomic_bool stop = false;
    std::atomic_int cut = 0;
    std::atomic_int refused = 0;
    std::vector<std::thread> attackers;
    for (int i = 0; i < slow; ++i)
        attackers.emplace_back(slowSender, server.port, std::cref(stop), std::ref(cut));
    for (int i = 0; i < huge; ++i)
        attackers.emplace_back(hugeSender, server.port, std::cref(stop), std::ref(refused));
    const long attacked = normalClient(server.port, std::chrono::seconds(seconds));
    const long peak = peakMemoryKb(server.pid);
    stop = true;
    for (std::thread &t : attackers)
        t.join();

    kill(server.pid, SIGTERM);
    waitpid(server.pid, nullptr, 0);
    fs::remove_all(work);
    std::printf("attackers: %d slow header senders (cut off %d times), %d huge bodies (refused %d times)\n",
                slow, cut.load(), huge, refused.load());
    std::printf("server peak memory: %.1f MiB (target: under 150)\n", static_cast<double>(peak) / 1024);
    std::printf("slowest normal reply: %ld ms under attack, %ld ms before it (target: under 1000)\n",
                attacked, calm);
    return attacked >= 0 && attacked < 1000 && peak < 150 * 1024 ? 0 : 1;
}
