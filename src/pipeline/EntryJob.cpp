#include "pipeline/EntryJob.h"

using namespace Qt::StringLiterals;

QString PrepareResultText(int code, const QString &description)
{
    switch (code) {
    case -1:
        return u"File locked"_s;
    case -2:
        return u"Convert error"_s;
    case -3:
        return u"Decode stream error"_s;
    case -4:
        return u"Inject error"_s;
    case -5:
        return u"Copy source file error"_s;
    case -6:
        return u"Capture image error"_s;
    case -7:
        return u"Get keyframe error"_s;
    case -8:
        return u"Resample error"_s;
    case -9:
        return u"Not enough free space"_s;
    case 0:
        return u"Error description: "_s + description;
    case -10:
        return u"Interleave error: "_s + description;
    default:
        return code >= 1 ? QString() : u"Unknown error"_s;
    }
}

QString PrepareResult::text() const
{
    return PrepareResultText(static_cast<int>(failure), description);
}
