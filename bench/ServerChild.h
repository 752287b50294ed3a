#pragma once

// Starts clipferry-server as a child on a free port for the benches that
// measure it from outside, and reads its peak memory.

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <string>
#include <unistd.h>
#include <vector>

extern char **environ;

struct ServerChild
{
    pid_t pid = -1;
    int port = 0;
};

// The server's standard error goes to DATA.log; its first line of output
// names the port it listens on.
inline ServerChild startServer(const std::filesystem::path &program, const std::filesystem::path &data)
{
    int out[2];
    if (pipe(out) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, (data.string() + ".log").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string programText = program.string();
    const std::string dataText = data.string();
    std::vector<char *> argv{const_cast<char *>(programText.c_str()),
                             const_cast<char *>("--data"),
                             const_cast<char *>(dataText.c_str()),
                             const_cast<char *>("--port"),
                             const_cast<char *>("0"),
                             const_cast<char *>("--demo"),
                             nullptr};
    ServerChild server;
    if (posix_spawn(&server.pid, programText.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        server.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n')
        line.push_back(c);
    close(out[0]);
    std::smatch match;
    if (std::regex_search(line, match, std::regex(R"(:(\d+)$)")))
        server.port = std::stoi(match[1]);
    return server;
}

// The highest resident memory of a process so far, in KiB; -1 when unknown.
inline long peakMemoryKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}
