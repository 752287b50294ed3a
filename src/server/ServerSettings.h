#pragma once

#include <QString>
#include <pugixml.hpp>

// What the last good folder-listing reply said about the server. The upload,
// the add dialogs and the batch dialog read it.
struct ServerSettings
{
    int supportedQvpVer = 5;
    QString serverSysVer; // empty: an older server
    bool noCvtForMp4 = false;
    bool customBps = false;
    int adId = -99;
    QString resolutionList;
    int secondRes = 1024;
    int thirdRes = 640;
};

// Resets the sysinfo values, then reads those the reply carries.
void ReadServerSettings(const pugi::xml_document &reply, ServerSettings &settings);
// Takes the high and standard widths from `resolutionList`, when it names
// exactly three usable widths (up to 1920); otherwise they stay.
void ParseResolutionList(ServerSettings &settings);
// The root's "qvpver" truncated to an integer; 5 when it is not a number.
int SupportedQvpVersion(const pugi::xml_document &reply);
