#include "recorder/CTime.h"

#include "common/TextUtil.h"

#include <QStringList>
#include <cmath>

namespace {

// Whole seconds, or seconds with three decimals, a half going to the even
// neighbour in both cases.
QString formatSeconds(float seconds, bool withFraction)
{
    if (!withFraction)
        return QStringLiteral("%1").arg(RoundHalfEven(seconds), 2, 10, QLatin1Char('0'));
    const qint64 thousandths = RoundHalfEven(static_cast<double>(seconds) * 1000.0);
    return QStringLiteral("%1.%2")
        .arg(thousandths / 1000, 2, 10, QLatin1Char('0'))
        .arg(thousandths % 1000, 3, 10, QLatin1Char('0'));
}

} // namespace

QString CTime::GetString(qint64 ms, const QString &unit)
{
    if (ms == -1)
        return QStringLiteral("-");
    const double s = static_cast<double>(ms) / 1000.0;
    const auto minutes = static_cast<qint64>(std::fmod(std::floor(s / 60.0), 60.0));
    const auto hours = static_cast<qint64>(std::floor(s / 3600.0));
    const auto seconds = static_cast<float>(s - static_cast<double>(hours * 3600 + minutes * 60));
    const bool withFraction = seconds != std::floor(seconds) && unit != QLatin1String("sec");

    QString text =
        QStringLiteral("%1:").arg(minutes, 2, 10, QLatin1Char('0')) + formatSeconds(seconds, withFraction);
    if (hours > 0)
        text.prepend(QString::number(hours) + u':');
    return text;
}

std::optional<qint64> CTime::GetSecond(const QString &text)
{
    const QStringList parts = text.split(u':');
    if (parts.size() < 2)
        return std::nullopt;
    double ms = 0;
    if (parts.size() == 3)
        ms = LeadingNumber(parts[0]) * 3'600'000.0 + LeadingNumber(parts[1]) * 60'000.0 +
             LeadingNumber(parts[2]) * 1000.0;
    else
        ms = LeadingNumber(parts[0]) * 60'000.0 + LeadingNumber(parts[1]) * 1000.0;
    return RoundHalfEven(ms);
}

double CTime::LeadingNumber(const QString &text)
{
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    const qsizetype start = i;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        ++i;
    bool point = false;
    qsizetype digits = 0;
    for (; i < text.size(); ++i) {
        if (text[i].isDigit() && text[i].unicode() < 128)
            ++digits;
        else if (text[i] == u'.' && !point)
            point = true;
        else
            break;
    }
    if (digits == 0)
        return 0;
    return text.mid(start, i - start).toDouble();
}
