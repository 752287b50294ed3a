#include "common/SystemUtil.h"

#include "platform/ProcessQuery.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QOperatingSystemVersion>
#include <QScreen>
#include <cmath>

bool IsProcessRunning(const QString &name)
{
    return ProcessQuery::isRunning(name);
}

int OsVersionNumber()
{
    const QOperatingSystemVersion os = QOperatingSystemVersion::current();
    if (os.type() == QOperatingSystemVersion::Windows)
        return os.majorVersion() * 10 + os.minorVersion();
    return 100;
}

int TextWidthOf(const QString &text, const QFont &font)
{
    double dpi = 96.0;
    if (const auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
        app && app->primaryScreen())
        dpi = app->primaryScreen()->logicalDotsPerInchX();
    const double pixels = QFontMetricsF(font).horizontalAdvance(text);
    return static_cast<int>(std::lround(pixels * 1440.0 / dpi));
}

void CopyFont(QFont &target, const QFont &source)
{
    target.setFamily(source.family());
    if (source.pointSizeF() > 0)
        target.setPointSizeF(source.pointSizeF());
    else
        target.setPixelSize(source.pixelSize());
    target.setWeight(source.weight());
    target.setBold(source.bold());
    target.setItalic(source.italic());
    target.setUnderline(source.underline());
    target.setStrikeOut(source.strikeOut());
}
