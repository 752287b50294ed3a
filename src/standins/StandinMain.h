#pragma once

#include <QCoreApplication>
#include <QCoroTask>
#include <QStringList>
#include <QTimer>

using StandinRun = QCoro::Task<int> (*)(QStringList);

// Ends the program with the tool's exit code.
inline QCoro::Task<> exitWith(StandinRun run, QStringList args)
{
    QCoreApplication::exit(co_await run(args));
}

// A stand-in's whole main(): the tool's coroutine runs with the command line
// once the loop is up.
template <typename App = QCoreApplication> int runStandin(int argc, char *argv[], StandinRun run)
{
    App app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    QTimer::singleShot(0, &app, [args, run] { exitWith(run, args); });
    return App::exec();
}
