#include "pipeline/FfmpegCapabilities.h"

#include "pipeline/ExecRunner.h"

#include <QPointer>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

// Splits at blanks outside double quotes; the quotes stay in the words, so
// the words join back into the same command line.
QStringList quotedWords(const QString &commandLine)
{
    QStringList words;
    QString word;
    bool quoted = false;
    for (const QChar c : commandLine) {
        if (c == u'"')
            quoted = !quoted;
        if (c == u' ' && !quoted) {
            if (!word.isEmpty())
                words.append(std::exchange(word, QString()));
            continue;
        }
        word += c;
    }
    if (!word.isEmpty())
        words.append(word);
    return words;
}

bool isOption(const QString &word)
{
    if (word.size() < 2 || !word.startsWith(u'-'))
        return false;
    bool number = false;
    word.toDouble(&number);
    return !number;
}

QSet<QString> firstColumn(const QString &text, const QRegularExpression &line)
{
    QSet<QString> names;
    for (auto it = line.globalMatch(text); it.hasNext();) {
        const QString name = it.next().captured(1);
        if (name != u"=")
            names.insert(name);
    }
    return names;
}

QString vsyncAsFpsMode(const QString &value)
{
    if (value == u"0")
        return u"passthrough"_s;
    if (value == u"2")
        return u"vfr"_s;
    if (value == u"-1")
        return u"auto"_s;
    return u"cfr"_s;
}

} // namespace

FfmpegCapabilities FfmpegCapabilities::parse(const QString &helpFull, const QString &encoderList,
                                             const QString &filterList)
{
    static const QRegularExpression optionLine(u"^\\s*-([^\\s=]+)\\s"_s, QRegularExpression::MultilineOption);
    static const QRegularExpression encoderLine(u"^ [VAS.][F.][S.][X.][B.][D.] (\\S+)"_s,
                                                QRegularExpression::MultilineOption);
    static const QRegularExpression filterLine(u"^ [T.][S.][C.] (\\S+)\\s+\\S+->\\S+"_s,
                                               QRegularExpression::MultilineOption);
    FfmpegCapabilities caps;
    caps.options = firstColumn(helpFull, optionLine);
    caps.encoders = firstColumn(encoderList, encoderLine);
    caps.filters = firstColumn(filterList, filterLine);
    return caps;
}

QCoro::Task<FfmpegCapabilities> FfmpegCapabilities::query(ExecRunner &runner, QString ffmpeg)
{
    QPointer<ExecRunner> guard(&runner);
    // Arguments of an awaited call are built beforehand: GCC 12 mishandles
    // temporaries inside a co_await expression.
    QStringList answers;
    for (const QString &question :
         {u" -hide_banner -h full"_s, u" -hide_banner -encoders"_s, u" -hide_banner -filters"_s}) {
        const QString command = ffmpeg + question;
        const ProcessResult answer = co_await runner.captureOutput(command);
        if (!guard)
            co_return FfmpegCapabilities();
        answers.append(QString::fromLocal8Bit(answer.output));
    }
    co_return parse(answers[0], answers[1], answers[2]);
}

bool FfmpegCapabilities::knowsOption(const QString &name) const
{
    return name == u"i" || options.contains(name.section(u':', 0, 0));
}

QString FfmpegCapabilities::adapt(const QString &commandLine, QStringList *notes) const
{
    if (!known())
        return commandLine;
    auto note = [notes](const QString &text) {
        if (notes && !notes->contains(text))
            notes->append(text);
    };
    const QStringList words = quotedWords(commandLine);
    QStringList out = words.mid(0, 1);
    bool inputSeen = false;
    bool yadifPending = false;
    for (qsizetype i = 1; i < words.size(); ++i) {
        const QString &word = words[i];
        if (!isOption(word)) {
            out.append(word);
            continue;
        }
        const QString name = word.mid(1);
        const bool hasValue = i + 1 < words.size() && !isOption(words[i + 1]);
        QString value = hasValue ? words[i + 1] : QString();
        if (hasValue)
            ++i;
        if (name == u"deinterlace" && !knowsOption(name) && filters.contains(u"yadif"_s)) {
            note(u"-deinterlace -> -vf yadif"_s);
            if (inputSeen)
                out << u"-vf"_s << u"yadif"_s;
            else
                yadifPending = true;
            if (hasValue) // a flag: what follows is not its value
                --i;
            continue;
        }
        if ((name == u"acodec" || name == u"c:a" || name == u"codec:a") && value == u"libfaac" &&
            !encoders.contains(value) && encoders.contains(u"aac"_s)) {
            note(u"-acodec libfaac -> -acodec aac"_s);
            value = u"aac"_s;
        }
        if (knowsOption(name)) {
            out.append(word);
            if (hasValue)
                out.append(value);
            if (name == u"i") {
                inputSeen = true;
                if (std::exchange(yadifPending, false))
                    out << u"-vf"_s << u"yadif"_s;
            }
            continue;
        }
        const QString given = hasValue ? word + u' ' + value : word;
        QStringList replacement;
        if (name == u"vsync" && knowsOption(u"fps_mode"_s))
            replacement = {u"-fps_mode"_s, vsyncAsFpsMode(value)};
        else if (name == u"me_method" && knowsOption(u"motion-est"_s))
            replacement = {u"-motion-est"_s, value};
        else if (name == u"wpredp" && knowsOption(u"weightp"_s))
            replacement = {u"-weightp"_s, value};
        if (replacement.isEmpty()) {
            note(given + u" left out"_s);
        } else {
            note(given + u" -> "_s + replacement.join(u' '));
            out.append(replacement);
        }
    }
    return out.join(u' ');
}
