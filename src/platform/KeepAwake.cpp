#include "platform/KeepAwake.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <unistd.h>

namespace {

// Asks the screen saver (display) and logind (system sleep) to hold off. The
// calls are asynchronous so that a slow or absent bus never stalls the window;
// a desktop without these services simply keeps its own behaviour.
class DBusKeepAwake final : public KeepAwake, public QObject
{
public:
    ~DBusKeepAwake() override { release(); }

    void inhibit(const QString &reason) override
    {
        release();
        const QString app = QStringLiteral("ClipFerry");
        QDBusInterface screenSaver(
            QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("/org/freedesktop/ScreenSaver"),
            QStringLiteral("org.freedesktop.ScreenSaver"), QDBusConnection::sessionBus());
        if (screenSaver.isValid()) {
            auto *watch = new QDBusPendingCallWatcher(
                screenSaver.asyncCall(QStringLiteral("Inhibit"), app, reason), this);
            QObject::connect(watch, &QDBusPendingCallWatcher::finished, this,
                             [this](QDBusPendingCallWatcher *w) {
                                 QDBusPendingReply<uint> reply = *w;
                                 if (!reply.isError())
                                     m_cookie = reply.value();
                                 w->deleteLater();
                             });
        }
        QDBusInterface login(QStringLiteral("org.freedesktop.login1"),
                             QStringLiteral("/org/freedesktop/login1"),
                             QStringLiteral("org.freedesktop.login1.Manager"), QDBusConnection::systemBus());
        if (login.isValid()) {
            auto *watch = new QDBusPendingCallWatcher(login.asyncCall(QStringLiteral("Inhibit"),
                                                                      QStringLiteral("sleep:idle"), app,
                                                                      reason, QStringLiteral("block")),
                                                      this);
            QObject::connect(watch, &QDBusPendingCallWatcher::finished, this,
                             [this](QDBusPendingCallWatcher *w) {
                                 QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
                                 if (!reply.isError() && reply.value().isValid())
                                     m_sleepLock = ::dup(reply.value().fileDescriptor());
                                 w->deleteLater();
                             });
        }
    }

    void release() override
    {
        if (m_cookie) {
            QDBusInterface screenSaver(
                QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("/org/freedesktop/ScreenSaver"),
                QStringLiteral("org.freedesktop.ScreenSaver"), QDBusConnection::sessionBus());
            screenSaver.asyncCall(QStringLiteral("UnInhibit"), *m_cookie);
            m_cookie.reset();
        }
        // logind holds the inhibition while the descriptor is open.
        if (m_sleepLock >= 0) {
            ::close(m_sleepLock);
            m_sleepLock = -1;
        }
    }

private:
    std::optional<uint> m_cookie;
    int m_sleepLock = -1;
};

} // namespace

std::unique_ptr<KeepAwake> KeepAwake::create()
{
    return std::make_unique<DBusKeepAwake>();
}
