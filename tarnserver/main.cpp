// clipferry-server: the ClipFerry content and update server.

#include "Admin.h"
#include "TarnServer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sys/stat.h>
#include <thread>

namespace {

int usage()
{
    std::cerr
        << "usage: clipferry-server --data DIR [--host H] [--port N] [--demo] [--cert FILE --key FILE]\n"
           "       clipferry-server --data DIR COMMAND ...   (see README)\n";
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    // Everything the server writes (database, uploads, contents) is the owner's only.
    umask(077);
    ServerOptions options;
    bool demo = false;
    std::vector<std::string> command;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--data" && hasValue)
            options.data = argv[++i];
        else if (arg == "--host" && hasValue)
            options.host = argv[++i];
        else if (arg == "--port" && hasValue)
            options.port = std::atoi(argv[++i]);
        else if (arg == "--cert" && hasValue)
            options.cert = argv[++i];
        else if (arg == "--key" && hasValue)
            options.key = argv[++i];
        else if (arg == "--demo")
            demo = true;
        else if (!arg.empty() && arg[0] != '-') {
            command.assign(argv + i, argv + argc); // an administration subcommand takes the rest
            break;
        } else
            return usage();
    }
    if (options.data.empty() || options.port < 0 || options.port > 65535 ||
        options.cert.empty() != options.key.empty())
        return usage();
    if (!command.empty())
        return Admin::run(options.data, command);

    // Signals are taken by one thread of their own, which stops the server cleanly.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        TarnServer server(options);
        if (demo) {
            Database db((options.data / "tarn.db").string());
            Admin::createDemo(db, options.data);
        }
        if (server.bind() < 0) {
            std::cerr << "clipferry-server: cannot listen on " << options.host << ":" << options.port << "\n";
            return 1;
        }
        std::thread([&server, signals] {
            int signal = 0;
            sigwait(&signals, &signal);
            server.stop();
        }).detach();
        std::cout << "listening on " << server.url() << std::endl;
        return server.run() ? 0 : 1;
    } catch (const std::exception &e) {
        std::cerr << "clipferry-server: " << e.what() << "\n";
        return 1;
    }
}
