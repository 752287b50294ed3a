#pragma once

#include <QFont>
#include <QString>

// Questions about the system and the screen.

// Whether a process of that name runs (letter case ignored).
bool IsProcessRunning(const QString &name);
// Windows' major version x 10 + minor version. Elsewhere ClipFerry reports
// 100, a current system: its controls are always Unicode-capable and its
// updater needs no manifest variant, which is what the thresholds 60 and 62
// ask about.
int OsVersionNumber();
// The width of `text` in `font`, in twips (1/1440 inch).
int TextWidthOf(const QString &text, const QFont &font);
// Copies the visible properties of a font.
void CopyFont(QFont &target, const QFont &source);
