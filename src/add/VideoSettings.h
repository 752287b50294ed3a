#pragma once

#include "add/VideoProbe.h"
#include "queue/CVideoItem.h"

#include <QSize>
#include <QString>
#include <array>

class LanguageTable;
struct ServerSettings;

// How a video is converted and at which size: the add dialogs' choices and
// the rules that turn them into frame size, bit rates and an upload size.
// Plain functions of the probe, the choice and the server's settings, so the
// dialogs and the command line compute the same entry.
namespace VideoSettings {

// The conversion and resolution choices live with the queue entry.
using ::Conversion;
using ::Resolution;
using enum ::Conversion;
using enum ::Resolution;

// Archives above this are refused by the server.
constexpr qint64 kLimitBytes = 2147483648LL;
// The widest frame the source resolution keeps.
constexpr int kMaxSourceWidth = 1920;

struct Choice
{
    int cvtType = LocalConversion;
    int resType = StandardResolution;
    int customBps = 0; // total kbps chosen by hand; 0 for none
};

struct Rates
{
    QSize output;
    int audioKbps = 0;
    int videoKbps = 0;
    int totalKbps = 0;
};

int AudioBitRate(int width, const ServerSettings &server);
int VideoBitRate(int width, int height);
// The frame size after a local conversion at `resType`.
QSize OutputSize(const ProbeResult &probe, int resType, const ServerSettings &server);
// Output size and bit rates of a choice; without conversion the total is
// the source's own average.
Rates ComputeRates(const ProbeResult &probe, qint64 sourceBytes, const Choice &choice,
                   const ServerSettings &server);
// The upload's size in bytes: the bit rates times the duration for a local
// conversion, the source itself otherwise.
qint64 EstimatedSize(const ProbeResult &probe, qint64 sourceBytes, const Choice &choice,
                     const ServerSettings &server);
// A total bit rate over `seconds`, in bytes.
qint64 BytesOf(qint64 totalKbps, qint64 seconds);
// Whole MiB ("837 MB") below 1024 MiB, else GiB ("2.10 GB").
QString SizeText(qint64 bytes);
// GiB with two decimals, as the 2 GiB messages show it.
QString GiBText(qint64 bytes);

// Which conversion options can be chosen for a source with `extension`.
std::array<bool, 3> ConversionsEnabled(const ServerSettings &server, const QString &extension);
// Which resolution options can be chosen for a frame `frameWidth` wide.
std::array<bool, 3> ResolutionsEnabled(int frameWidth, int cvtType, const ServerSettings &server);
// `selected` if it is enabled, else the next enabled one in the cycle
// source, high, standard, source.
int KeepEnabled(int selected, const std::array<bool, 3> &enabled);
// The caption of a resolution option.
QString ResolutionCaption(const LanguageTable &language, int resType, bool enabled, const ProbeResult &probe,
                          const ServerSettings &server);
// The name suffix of the converted video: "", "hd" or "src".
QString Postfix(int outputWidth, const ServerSettings &server);
// "586k".
QString KbpsText(int kbps);

// Writes the probe and the choice into a queue entry: durations, sizes,
// bit-rate texts, conversion fields and the source file's size and date.
void ApplyToEntry(CVideoItem &entry, const ProbeResult &probe, const Choice &choice,
                  const ServerSettings &server);

} // namespace VideoSettings
