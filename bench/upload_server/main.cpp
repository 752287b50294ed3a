// bench_upload_server [SIZE_MB] [ROUNDS]
//
// Starts clipferry-server on a fresh data folder, makes a stored zip archive of
// SIZE_MB (default 1024) and uploads it in turns through plain curl (one PATCH
// of the whole archive) and through the resumable protocol (32 MiB chunks, each
// with its SHA-1, as ClipFerry sends them), registering each upload, for ROUNDS
// rounds (default 3). Prints the best throughput of both, their ratio (target:
// resumable at least 0.8 of curl), the server's peak resident memory (target:
// under 150 MB) and the machine's load, which the figures depend on.

#include "BenchArgs.h"
#include "Password.h"
#include "ServerChild.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <httplib.h>
#include <iostream>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <random>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kChunk = 32 << 20;

void put(std::ofstream &out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.put(static_cast<char>((value >> (8 * i)) & 0xff));
}

// A stored zip holding a profile and one large pseudo-random "video.mp4".
bool makeArchive(const fs::path &path, std::int64_t size, std::string &sha256)
{
    const std::string profile =
        "<?xml version=\"1.0\"?>\r\n<profile><type>Mp4</type><metadata><title>Bench</title>"
        "<author>Bench</author></metadata></profile>";
    const std::string profileName = "tarn_profile.xml";
    const std::string videoName = "video.mp4";
    const std::int64_t overhead = 2 * 30 + 2 * 46 + 22 + 2 * static_cast<std::int64_t>(profileName.size()) +
                                  2 * static_cast<std::int64_t>(videoName.size()) +
                                  static_cast<std::int64_t>(profile.size());
    const std::uint64_t videoSize = static_cast<std::uint64_t>(size - overhead);
    std::vector<char> block(4 << 20);
    std::mt19937_64 random(7);
    for (size_t i = 0; i + 8 <= block.size(); i += 8) {
        const std::uint64_t v = random();
        std::copy_n(reinterpret_cast<const char *>(&v), 8, block.data() + i);
    }
    uLong videoCrc = crc32(0, nullptr, 0);
    for (std::uint64_t done = 0; done < videoSize; done += block.size()) {
        const auto n = static_cast<uInt>(std::min<std::uint64_t>(block.size(), videoSize - done));
        videoCrc = crc32(videoCrc, reinterpret_cast<const Bytef *>(block.data()), n);
    }
    const uLong profileCrc =
        crc32(0, reinterpret_cast<const Bytef *>(profile.data()), static_cast<uInt>(profile.size()));

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    struct Entry
    {
        std::string name;
        std::uint64_t size;
        uLong crc;
        std::uint64_t offset;
    };
    std::vector<Entry> entries{{profileName, profile.size(), profileCrc, 0},
                               {videoName, videoSize, videoCrc, 0}};
    for (Entry &e : entries) {
        e.offset = static_cast<std::uint64_t>(out.tellp());
        put(out, 0x04034b50, 4), put(out, 20, 2), put(out, 0, 2), put(out, 0, 2), put(out, 0, 4);
        put(out, e.crc, 4), put(out, e.size, 4), put(out, e.size, 4), put(out, e.name.size(), 2),
            put(out, 0, 2);
        out << e.name;
        if (e.name == profileName) {
            out << profile;
            continue;
        }
        for (std::uint64_t done = 0; done < e.size; done += block.size())
            out.write(block.data(),
                      static_cast<std::streamsize>(std::min<std::uint64_t>(block.size(), e.size - done)));
    }
    const auto directory = static_cast<std::uint64_t>(out.tellp());
    for (const Entry &e : entries) {
        put(out, 0x02014b50, 4), put(out, 20, 2), put(out, 20, 2), put(out, 0, 2), put(out, 0, 2),
            put(out, 0, 4);
        put(out, e.crc, 4), put(out, e.size, 4), put(out, e.size, 4), put(out, e.name.size(), 2),
            put(out, 0, 2);
        put(out, 0, 2), put(out, 0, 2), put(out, 0, 2), put(out, 0, 4), put(out, e.offset, 4);
        out << e.name;
    }
    const auto directorySize = static_cast<std::uint64_t>(out.tellp()) - directory;
    put(out, 0x06054b50, 4), put(out, 0, 4), put(out, 2, 2), put(out, 2, 2), put(out, directorySize, 4);
    put(out, directory, 4), put(out, 0, 2);
    out.close();
    if (!out || static_cast<std::int64_t>(fs::file_size(path)) != size)
        return false;

    std::ifstream in(path, std::ios::binary);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
        EVP_DigestUpdate(ctx, block.data(), static_cast<size_t>(in.gcount()));
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, digest, &length);
    EVP_MD_CTX_free(ctx);
    sha256 = toHex(std::string_view(reinterpret_cast<const char *>(digest), length));
    return true;
}

httplib::Headers auth()
{
    return {{"Authorization", "Basic " + base64Encode("demo:demo")}, {"Tus-Resumable", "1.0.0"}};
}

std::string createUpload(httplib::Client &client, std::int64_t size, const std::string &sha256)
{
    httplib::Headers headers = auth();
    headers.emplace("Upload-Length", std::to_string(size));
    headers.emplace("Upload-Metadata", "filename " + base64Encode("tarn_file.zip") + ",folderID " +
                                           base64Encode("9") + ",contentID " + base64Encode("-1") +
                                           ",sha256 " + base64Encode(sha256));
    const auto res = client.Post("/tarn/putFile/uploads/", headers, "", "application/octet-stream");
    return res && res->status == 201 ? res->get_header_value("Location") : std::string();
}

bool registerUpload(httplib::Client &client, const std::string &location)
{
    const auto res =
        client.Post("/tarn/putFile/", auth(), "upload=" + location, "application/x-www-form-urlencoded");
    return res && res->body.find("<contentID>") != std::string::npos;
}

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Plain curl: one request carrying the whole archive, streamed from the file.
double viaCurl(httplib::Client &client, const fs::path &archive, std::int64_t size, const std::string &sha256,
               std::string &location)
{
    location = createUpload(client, size, sha256);
    const auto start = Clock::now();
    const std::string command = "curl -sS -f -o /dev/null -X PATCH -u demo:demo -H 'Tus-Resumable: 1.0.0'"
                                " -H 'Content-Type: application/offset+octet-stream' -H 'Upload-Offset: 0'"
                                " -H 'Expect:' -T '" +
                                archive.string() + "' '" + location + "'";
    if (location.empty() || std::system(command.c_str()) != 0)
        return -1;
    return seconds(start);
}

// One keep-alive HTTP/1.1 connection for the chunks of an upload.
class Connection
{
public:
    explicit Connection(int port) : m_fd(socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_ok = connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~Connection() { close(m_fd); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Sends one PATCH; returns the Upload-Offset of a 204 answer, or -1.
    std::int64_t patch(const std::string &path, std::int64_t offset, const std::vector<char> &body,
                       const std::string &sha1)
    {
        const std::string head = "PATCH " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic " +
                                 base64Encode("demo:demo") +
                                 "\r\nTus-Resumable: 1.0.0\r\n"
                                 "Content-Type: application/offset+octet-stream\r\nUpload-Offset: " +
                                 std::to_string(offset) + "\r\nUpload-Checksum: sha1 " + base64Encode(sha1) +
                                 "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        if (!m_ok || send(m_fd, head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size()))
            return -1;
        for (size_t sent = 0; sent < body.size();) {
            const ssize_t n = send(m_fd, body.data() + sent, body.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return -1;
            sent += static_cast<size_t>(n);
        }
        std::string answer;
        char buffer[4096];
        while (answer.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return -1;
            answer.append(buffer, static_cast<size_t>(n));
        }
        std::smatch match;
        if (answer.rfind("HTTP/1.1 204", 0) != 0 ||
            !std::regex_search(answer, match, std::regex("Upload-Offset: (\\d+)", std::regex::icase)))
            return -1;
        return std::stoll(match[1]);
    }

private:
    int m_fd;
    bool m_ok = false;
};

// The resumable protocol: 32 MiB chunks, each with its SHA-1.
double viaTus(httplib::Client &client, int port, const fs::path &archive, std::int64_t size,
              const std::string &sha256, std::string &location)
{
    location = createUpload(client, size, sha256);
    if (location.empty())
        return -1;
    const std::string path = location.substr(location.find("/tarn/"));
    const auto start = Clock::now();
    const int file = open(archive.c_str(), O_RDONLY | O_CLOEXEC);
    Connection connection(port);
    // Two buffers: the next chunk is read and its SHA-1 computed while the current one travels.
    struct Chunk
    {
        std::vector<char> data;
        std::string sha1;
    };
    const auto load = [file, size](Chunk &chunk, std::int64_t at) {
        chunk.data.resize(static_cast<size_t>(std::min(kChunk, size - at)));
        if (pread(file, chunk.data.data(), chunk.data.size(), static_cast<off_t>(at)) !=
            static_cast<ssize_t>(chunk.data.size())) {
            chunk.sha1.clear();
            return;
        }
        unsigned char digest[20];
        unsigned int length = 0;
        EVP_Digest(chunk.data.data(), chunk.data.size(), digest, &length, EVP_sha1(), nullptr);
        chunk.sha1.assign(reinterpret_cast<char *>(digest), length);
    };
    Chunk chunks[2];
    chunks[0].data.reserve(kChunk);
    chunks[1].data.reserve(kChunk);
    std::int64_t offset = 0;
    int current = 0;
    auto next = std::async(std::launch::async, load, std::ref(chunks[current]), offset);
    while (offset >= 0 && offset < size) {
        next.get();
        const Chunk &chunk = chunks[current];
        const std::int64_t following = offset + static_cast<std::int64_t>(chunk.data.size());
        if (following < size)
            next = std::async(std::launch::async, load, std::ref(chunks[1 - current]), following);
        offset = chunk.sha1.empty() ? -1 : connection.patch(path, offset, chunk.data, chunk.sha1);
        current = 1 - current;
    }
    if (next.valid())
        next.wait();
    close(file);
    return offset == size ? seconds(start) : -1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::int64_t sizeMb = argc > 1 ? std::atoll(argv[1]) : 1024;
    const std::int64_t size = sizeMb << 20;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const fs::path program = fs::canonical("/proc/self/exe").parent_path() / "clipferry-server";
    const fs::path work = fs::temp_directory_path() / ("clipferry-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    const fs::path archive = work / "tarn_file.zip";
    std::string sha256;
    std::cout << "making a " << sizeMb << " MiB archive ..." << std::endl;
    if (!makeArchive(archive, size, sha256)) {
        std::cerr << "cannot write " << archive << "\n";
        return 1;
    }
    double curlBest = 1e9;
    double tusBest = 1e9;
    double registerWorst = 0;
    long peakKb = 0;
    bool ok = true;
    // A fresh server each round: the contents of earlier rounds would fill the
    // account's quota and the disk.
    for (int round = 0; round < rounds && ok; ++round) {
        const fs::path data = work / ("data-" + std::to_string(round));
        const ServerChild server = startServer(program, data);
        if (server.pid < 0 || server.port == 0) {
            std::cerr << "cannot start " << program << "\n";
            return 1;
        }
        httplib::Client client("127.0.0.1", server.port);
        client.set_read_timeout(600);
        client.set_write_timeout(600);
        std::string location;
        const double curl = viaCurl(client, archive, size, sha256, location);
        auto start = Clock::now();
        ok = curl > 0 && registerUpload(client, location);
        registerWorst = std::max(registerWorst, seconds(start));
        const double tus = ok ? viaTus(client, server.port, archive, size, sha256, location) : -1;
        start = Clock::now();
        ok = ok && tus > 0 && registerUpload(client, location);
        registerWorst = std::max(registerWorst, seconds(start));
        if (ok) {
            curlBest = std::min(curlBest, curl);
            tusBest = std::min(tusBest, tus);
            std::printf("round %d: curl %.2f s, resumable %.2f s\n", round + 1, curl, tus);
        }
        peakKb = std::max(peakKb, peakMemoryKb(server.pid));
        kill(server.pid, SIGTERM);
        waitpid(server.pid, nullptr, 0);
        fs::remove_all(data);
    }
    fs::remove_all(work);
    if (!ok) {
        std::cerr << "an upload failed\n";
        return 1;
    }
    const double mb = static_cast<double>(sizeMb);
    std::printf("archive                %lld MiB\n", static_cast<long long>(sizeMb));
    std::printf("curl, single request   %.0f MiB/s\n", mb / curlBest);
    std::printf("resumable (32 MiB)     %.0f MiB/s\n", mb / tusBest);
    std::printf("ratio resumable/curl   %.2f (target >= 0.80)\n", curlBest / tusBest);
    std::printf("registration, slowest  %.2f s\n", registerWorst);
    std::printf("server peak memory     %.1f MB (target < 150 MB)\n", static_cast<double>(peakKb) / 1024);
    std::printf("load average           %s\n", loadAverage().c_str());
    return 0;
}
