#pragma once

#include <QCoroTask>
#include <QString>
#include <deque>
#include <functional>
#include <memory>

// One way to show a message box or ask a question, whoever is listening: the
// window shows a real message box, the command line prints the text and
// answers from its options, tests record and answer.
namespace Messages {

enum class Icon
{
    Information,
    Warning,
    Critical,
    Question
};
enum class Buttons
{
    Ok,
    OkCancel,
    YesNo,
    YesNoCancel
};
enum class Answer
{
    Ok,
    Cancel,
    Yes,
    No
};

struct Message
{
    QString text;
    QString title;
    Icon icon = Icon::Information;
    Buttons buttons = Buttons::Ok;
};

// Shows a message and reports the answer through `done`, now or later.
class Presenter
{
public:
    virtual ~Presenter() = default;
    virtual void present(const Message &message, std::function<void(Answer)> done) = 0;
};

// Prints to standard error and answers from fixed choices: the given answer
// for Yes/No(/Cancel) questions (Cancel reads as No where there is none), OK
// for OK/Cancel ones.
class ConsolePresenter final : public Presenter
{
public:
    explicit ConsolePresenter(Answer yesNoAnswer = Answer::No) : m_yesNo(yesNoAnswer) {}
    void present(const Message &message, std::function<void(Answer)> done) override;

private:
    Answer m_yesNo;
};

// Keeps every message and answers from a script, in order; when the script
// runs out it answers with the first button (OK or Yes). For tests.
class RecordingPresenter final : public Presenter
{
public:
    struct Log
    {
        QList<Message> messages;
        QList<Answer> script;
    };
    explicit RecordingPresenter(std::shared_ptr<Log> log) : m_log(std::move(log)) {}
    void present(const Message &message, std::function<void(Answer)> done) override;

private:
    std::shared_ptr<Log> m_log;
};

// Where the program's messages go: one presenter at a time, owned here.
// Without one set, messages go to the console presenter with its default
// answers. One message is shown at a time: the next waits until the one
// shown is answered.
class Channel final
{
public:
    Channel();
    ~Channel();
    Q_DISABLE_COPY_MOVE(Channel)

    // Installs the presenter; the previous one is dropped.
    void setPresenter(std::unique_ptr<Presenter> presenter);

    // A notice: shown, not awaited.
    void show(const QString &text, const QString &title = {}, Icon icon = Icon::Information);

    // A question: suspends the calling coroutine until it is answered. A
    // question waits for the person as long as it takes, so it has no
    // time-out. The channel must outlive the question.
    QCoro::Task<Answer> ask(QString text, QString title, Buttons buttons, Icon icon = Icon::Question);

    // Installs a RecordingPresenter and returns its log.
    std::shared_ptr<RecordingPresenter::Log> record();

    // Messages waiting for the one shown now.
    qsizetype waiting() const { return static_cast<qsizetype>(m_waiting.size()); }

private:
    struct Pending
    {
        Message message;
        std::function<void(Answer)> done;
    };
    void post(Message message, std::function<void(Answer)> done);
    void presentNext();

    std::unique_ptr<Presenter> m_presenter;
    std::deque<Pending> m_waiting;
    bool m_showing = false;
    // Replaced with each presenter: answers of a presenter that was
    // replaced, or of a channel that is gone, find it expired and change nothing.
    std::shared_ptr<int> m_generation = std::make_shared<int>();
};

} // namespace Messages
