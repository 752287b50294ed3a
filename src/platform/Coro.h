#pragma once

// The few coroutine helpers every subsystem uses. Everything runs on Qt's
// loop: a coroutine suspends at co_await and the loop keeps serving the
// window, timers and other children meanwhile.

#include <QCoroSignal>
#include <QCoroTask>
#include <QCoroTimer>
#include <QPointer>
#include <chrono>
#include <optional>

namespace Coro {

using namespace std::chrono_literals;

// Suspends for the given time without blocking the loop.
inline QCoro::Task<> sleep(std::chrono::milliseconds duration)
{
    co_await QCoro::sleepFor(duration);
}

// Awaits one emission of a signal; empty when the time-out came first
// (a negative time-out waits as long as it takes).
template <typename T, typename Signal> auto signal(T *sender, Signal sig, std::chrono::milliseconds timeout)
{
    return qCoro(sender, sig, timeout);
}

// Starts a coroutine from a slot. Tasks start running when they are made, so
// the guard is tested before `makeTask` is called: while `running` is true a
// second start is refused. `running` is cleared and `done` called when the
// task ends, unless the context has gone meanwhile.
template <typename Context, typename MakeTask, typename Callback>
bool start(Context *context, bool &running, MakeTask makeTask, Callback done)
{
    if (running)
        return false;
    running = true;
    QCoro::connect(makeTask(), context, [&running, done = std::move(done)]() {
        running = false;
        done();
    });
    return true;
}

// A slot that starts one of the context's commands (a member coroutine),
// refused while another command of the same guard runs.
template <typename Context> auto command(Context *context, bool &running, QCoro::Task<> (Context::*run)())
{
    return [context, &running, run] {
        start(
            context, running, [context, run] { return (context->*run)(); }, [] {});
    };
}

} // namespace Coro
