#pragma once

#include <QString>

// One chapter of a recording's index: a place in the media (pos >= 0, in
// milliseconds) or a link to outside content (pos negative, "-1" in files).
struct CIndexItem
{
    QString title;
    QString pos;
    QString RecDate; // passed through as stored in the project file
    QString PosEnd;  // exclusive end in milliseconds
    QString length;  // time text, "-" for a link item
    QString Url;
    bool Selected = false;
    QString size;

    // The position taken as a number (its leading numeric characters).
    double position() const;
    bool isMediaItem() const { return position() >= 0; }

    friend bool operator==(const CIndexItem &, const CIndexItem &) = default;
};
