#include "cli/ConsoleProgressView.h"

#include "common/Lang.h"

#include <QTextStream>

namespace {
void print(const QString &line)
{
    QTextStream(stdout) << line << Qt::endl;
}
} // namespace

void ConsoleProgressView::setStatusText(const QString &text)
{
    // The upload's status repeats with its percentage every half second:
    // print it only when the words change.
    const QString words = text.section(u' ', 0, -2);
    if (text != m_status &&
        (words.isEmpty() || words != m_status.section(u' ', 0, -2) || !text.endsWith(u'%')))
        print(text);
    m_status = text;
}

void ConsoleProgressView::setConvertInfo(const QString &text)
{
    if (text != m_info)
        print(m_info = text);
}

QString ConsoleProgressView::injectionCaption() const
{
    return m_language.text(QStringLiteral("frmUpload"), QStringLiteral("lInjection"));
}

void ConsoleProgressView::setProgress(int percent)
{
    // Every tenth percent is enough for a log.
    if (percent / 10 != m_percent / 10 && percent > 0)
        print(QStringLiteral("%1%").arg(percent));
    m_percent = percent;
}

void ConsoleProgressView::appendOutputLine(const QString &line)
{
    print(line);
}
