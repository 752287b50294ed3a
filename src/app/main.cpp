// clipferry: the windowed program.

#include "app/AppHooks.h"
#include "app/MessageBoxWidget.h"
#include "app/frmUpload.h"
#include "common/Lang.h"
#include "common/Settings.h"
#include "pipeline/Session.h"
#include "platform/AppPaths.h"
#include "platform/KeepAwake.h"
#include "platform/Messages.h"
#include "platform/ShutdownSignals.h"
#include "platform/SingleInstance.h"

#include <QApplication>
#include <QLocale>
#include <QSessionManager>

namespace {

// The language: "--lang NAME" (or "--lang=NAME") over the setting "language"
// over the system's locale.
QString languageChoice(const QStringList &arguments)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument.startsWith(QLatin1String("--lang=")))
            return argument.mid(7);
        if (argument == QLatin1String("--lang") && i + 1 < arguments.size())
            return arguments.at(i + 1);
    }
    const QString stored = ReadPlainSetting(QStringLiteral("language"), {});
    return stored.trimmed().isEmpty() ? QLocale::system().name() : stored;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ClipFerry"));
    const QStringList arguments = QApplication::arguments().mid(1);

    // A second start hands its arguments to the first and ends silently.
    SingleInstance instance(QStringLiteral("clipferry"));
    if (!instance.claim(arguments))
        return 0;

    Session session;
    session.loadLanguage(AppPaths::resourcePath(LanguageFileName(languageChoice(arguments))));
    auto presenter = std::make_unique<MessageBoxWidget>();
    MessageBoxWidget *boxes = presenter.get();
    session.messages().setPresenter(std::move(presenter));
    frmUpload window({session, arguments, KeepAwake::create(), std::make_unique<AppHooks>(session), 0});
    boxes->setWindow(&window);

    QObject::connect(&instance, &SingleInstance::activated, &window, [&window] {
        window.showNormal();
        window.raise();
        window.activateWindow();
    });
    ShutdownSignals signals;
    QObject::connect(&signals, &ShutdownSignals::received, &window, [&window] { window.shutdown(); });
    // The end of the desktop session closes the program the same way.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                     [&window](QSessionManager &) { window.shutdown(); });
    // A message box still open must not keep the program alive.
    QObject::connect(&window, &frmUpload::closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);

    window.show();
    // Started again by an update that could not be installed: say why.
    if (const qsizetype message = arguments.indexOf(QStringLiteral("--updater-message"));
        message >= 0 && message + 1 < arguments.size())
        session.messages().show(arguments.at(message + 1), QStringLiteral("ClipFerry"),
                                Messages::Icon::Warning);
    return QApplication::exec();
}
