#pragma once

#include "common/Lang.h"
#include "platform/AppPaths.h"

// The program's language file, as a session loads it.
inline QString languageFile()
{
    return AppPaths::resourcePath(QStringLiteral("res.xml"));
}
