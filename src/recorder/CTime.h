#pragma once

#include <QString>
#include <optional>

// Time texts of the recorder's index: MM:SS, MM:SS.fff, H:MM:SS or
// H:MM:SS.fff (hours only when not zero, without leading zeros).
class CTime final
{
public:
    CTime() = delete;

    // "-" for -1; with unit "sec" the seconds are rounded to whole seconds.
    static QString GetString(qint64 ms, const QString &unit);
    // Milliseconds of a time text (despite its name); empty when the text
    // has no ":".
    static std::optional<qint64> GetSecond(const QString &text);
    // The decimal number formed by the text's leading numeric characters
    // (after blanks); 0 when there are none.
    static double LeadingNumber(const QString &text);
};
