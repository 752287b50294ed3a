#pragma once

#include <QString>

// Finds the external programs ClipFerry runs (ffmpeg, mediainfo, yamdi, zip,
// the stand-ins): first in the folders of CLIPFERRY_TOOLS, then beside the
// program, then on PATH. A real tool placed earlier replaces a stand-in.
namespace ToolLocator {

// The full path of the program, or the empty text when it is nowhere.
QString find(const QString &name);
// The program that runs a command's first word: a path that exists, or the
// tool of that name (".exe" dropped) found as above, or the stand-in of a
// tool this platform lacks. Empty when none is found.
QString resolve(const QString &name);
// The message shown when a program cannot be found.
QString missingMessage(const QString &name);

} // namespace ToolLocator
