#include "platform/Messages.h"

#include "platform/Coro.h"

#include <QObject>
#include <QTextStream>

namespace Messages {

namespace {

// Carries an answer from a presenter's callback to the awaiting coroutine.
class PendingAnswer final : public QObject
{
    Q_OBJECT
public:
    std::optional<Answer> answer;
    void set(Answer a)
    {
        answer = a;
        Q_EMIT answered();
    }
Q_SIGNALS:
    void answered();
};

Answer firstButton(Buttons buttons)
{
    return (buttons == Buttons::YesNo || buttons == Buttons::YesNoCancel) ? Answer::Yes : Answer::Ok;
}

} // namespace

Channel::Channel() : m_presenter(std::make_unique<ConsolePresenter>()) {}

Channel::~Channel() = default;

void Channel::setPresenter(std::unique_ptr<Presenter> p)
{
    m_presenter = std::move(p);
    m_generation = std::make_shared<int>();
    m_showing = false;
    presentNext();
}

void Channel::show(const QString &text, const QString &title, Icon icon)
{
    post(Message{text, title, icon, Buttons::Ok}, [](Answer) {});
}

void Channel::post(Message message, std::function<void(Answer)> done)
{
    m_waiting.push_back({std::move(message), std::move(done)});
    presentNext();
}

void Channel::presentNext()
{
    while (!m_showing && !m_waiting.empty()) {
        Pending next = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_showing = true;
        std::weak_ptr<int> generation = m_generation;
        m_presenter->present(next.message, [this, generation, done = std::move(next.done)](Answer a) {
            // Not locked: a copy held here would keep a gone channel's
            // generation alive through the answer.
            const bool stale = generation.expired();
            if (!stale)
                m_showing = false;
            done(a);
            // The answer may have closed the window that owns the channel.
            if (!stale && !generation.expired())
                presentNext();
        });
    }
}

QCoro::Task<Answer> Channel::ask(QString text, QString title, Buttons buttons, Icon icon)
{
    PendingAnswer pending;
    QPointer<PendingAnswer> guard(&pending);
    post(Message{text, title, icon, buttons}, [guard](Answer a) {
        if (guard)
            guard->set(a);
    });
    if (!pending.answer)
        co_await qCoro(&pending, &PendingAnswer::answered);
    co_return *pending.answer;
}

void ConsolePresenter::present(const Message &message, std::function<void(Answer)> done)
{
    QTextStream err(stderr);
    if (!message.title.isEmpty())
        err << message.title << ": ";
    err << message.text << Qt::endl;
    switch (message.buttons) {
    case Buttons::Ok:
    case Buttons::OkCancel:
        done(Answer::Ok);
        break;
    case Buttons::YesNo:
    case Buttons::YesNoCancel: {
        // A question without Cancel takes No for it.
        const Answer answer =
            m_yesNo == Answer::Cancel && message.buttons == Buttons::YesNo ? Answer::No : m_yesNo;
        err << (answer == Answer::Yes ? "-> Yes" : answer == Answer::No ? "-> No" : "-> Cancel") << Qt::endl;
        done(answer);
        break;
    }
    }
}

void RecordingPresenter::present(const Message &message, std::function<void(Answer)> done)
{
    m_log->messages.append(message);
    done(m_log->script.isEmpty() ? firstButton(message.buttons) : m_log->script.takeFirst());
}

std::shared_ptr<RecordingPresenter::Log> Channel::record()
{
    auto log = std::make_shared<RecordingPresenter::Log>();
    setPresenter(std::make_unique<RecordingPresenter>(log));
    return log;
}

} // namespace Messages

#include "Messages.moc"
