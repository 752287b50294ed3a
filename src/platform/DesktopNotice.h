#pragma once

#include <QString>

// A desktop notification: a short note the desktop shows beside whatever
// window is active. Sent without waiting; a desktop without a notification
// service shows nothing.
namespace DesktopNotice {

void show(const QString &title, const QString &body);

} // namespace DesktopNotice
