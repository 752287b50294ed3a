#include "common/TextUtil.h"

#include <QTime>
#include <cmath>

QString UrlEncode(const QString &text)
{
    static const QString special = QStringLiteral("?&/=#@%");
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (special.contains(c))
            out += u'%' + QStringLiteral("%1").arg(c.unicode(), 2, 16, QLatin1Char('0')).toUpper();
        else
            out += c;
    }
    return out;
}

QString TimeNow()
{
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
}

QString SecondsToHMS(qint64 seconds)
{
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString RemoveTabs(QString text)
{
    text.remove(QChar(9));
    text.remove(QChar(11));
    return text;
}

QString StripScheme(const QString &address, bool &useHttps)
{
    QString text = address.trimmed();
    text.remove(QStringLiteral("http://"));
    useHttps = text.startsWith(QLatin1String("https://"));
    if (useHttps)
        text.remove(0, 8);
    return text;
}

QString HostOf(const QString &address)
{
    bool https = false;
    const QString text = StripScheme(address, https);
    return text.left(text.indexOf(u'/'));
}

int RoundToEven(double x)
{
    return 2 * static_cast<int>(std::floor(x / 2.0 + 0.5));
}

qint64 RoundHalfEven(double x)
{
    const double lower = std::floor(x);
    const double diff = x - lower;
    if (diff > 0.5)
        return static_cast<qint64>(lower) + 1;
    if (diff < 0.5)
        return static_cast<qint64>(lower);
    return std::fmod(lower, 2.0) == 0.0 ? static_cast<qint64>(lower) : static_cast<qint64>(lower) + 1;
}
