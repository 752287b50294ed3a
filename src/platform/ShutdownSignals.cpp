#include "platform/ShutdownSignals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One program-wide pair: a signal handler can reach nothing else.
int g_pair[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(number);
    // A full pipe means a close is already on its way.
    [[maybe_unused]] const ssize_t written = ::write(g_pair[0], &byte, 1);
    errno = saved;
}

void install(int number, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(number, &action, nullptr);
}

} // namespace

ShutdownSignals::ShutdownSignals(QObject *parent) : QObject(parent)
{
    if (g_pair[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pair) != 0)
        return;
    ::fcntl(g_pair[0], F_SETFL, O_NONBLOCK);
    ::fcntl(g_pair[1], F_SETFL, O_NONBLOCK);
    m_notifier = new QSocketNotifier(g_pair[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ShutdownSignals::readSignal);
    install(SIGTERM, onSignal);
    install(SIGINT, onSignal);
}

ShutdownSignals::~ShutdownSignals()
{
    if (!m_notifier)
        return;
    install(SIGTERM, SIG_DFL);
    install(SIGINT, SIG_DFL);
    ::close(g_pair[0]);
    ::close(g_pair[1]);
    g_pair[0] = g_pair[1] = -1;
}

void ShutdownSignals::readSignal()
{
    unsigned char byte = 0;
    while (::read(g_pair[1], &byte, 1) == 1)
        Q_EMIT received(byte);
}
