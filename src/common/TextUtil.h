#pragma once

#include <QString>

// Text and time helpers shared by the window, the pipeline and the dialogs.

// Escapes the seven characters that would break a request parameter
// ("?", "&", "/", "=", "#", "@", "%") as "%XX"; everything else stays.
QString UrlEncode(const QString &text);
// The local time as "hh:mm:ss" (24-hour clock).
QString TimeNow();
// Hours (unpadded, unlimited), two-digit minutes and seconds: 3725 -> "1:02:05".
QString SecondsToHMS(qint64 seconds);
// Removes every TAB and vertical tab.
QString RemoveTabs(QString text);
// Removes "http://" everywhere and a leading "https://"; `useHttps` tells
// whether the latter was there.
QString StripScheme(const QString &address, bool &useHttps);
// Host and port of an address, without scheme and path.
QString HostOf(const QString &address);
// The even integer nearest to x; a tie goes up (5 -> 6, 3 -> 4).
int RoundToEven(double x);
// Rounds to the nearest integer, a half to the even neighbour (2.5 -> 2).
qint64 RoundHalfEven(double x);
