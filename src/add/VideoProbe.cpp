#include "add/VideoProbe.h"

#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/TextUtil.h"
#include "pipeline/ExecRunner.h"
#include "platform/AppPaths.h"
#include "platform/Messages.h"

#include <QDir>
#include <QRegularExpression>
#include <QSet>
#include <cmath>

namespace {

// No video is wider or taller; larger numbers in a report would overflow what is computed from them.
constexpr qint32 kMaxFrameSide = 65535;

const QString kSection = QStringLiteral("frmAdd");

QString quoted(const QString &path)
{
    return u'"' + QDir::toNativeSeparators(path) + u'"';
}

// The line from `from` up to the next line break (CR LF, or a bare LF as
// this platform's tools print it).
QString lineFrom(const QString &text, qsizetype from)
{
    qsizetype end = text.indexOf(u'\n', from);
    if (end < 0)
        end = text.size();
    if (end > from && text.at(end - 1) == u'\r')
        --end;
    return text.mid(from, end - from);
}

// Leading digits of a text as a number; anything else reads as 0.
qint32 leadingNumber(QStringView text)
{
    text = text.trimmed();
    qsizetype digits = 0;
    while (digits < text.size() && text.at(digits).isDigit())
        ++digits;
    return text.left(digits).toInt();
}

bool isNumeric(const QString &text)
{
    bool ok = false;
    text.trimmed().toDouble(&ok);
    return ok;
}

// The identifier of a stream: the longest run behind "Stream #" that reads
// as a number ("0.1"). This platform's ffmpeg numbers streams "0:1", so a
// colon followed by digits belongs to the identifier too.
QString streamIdentifier(const QString &line, qsizetype from)
{
    static const QRegularExpression number(QStringLiteral("^\\d+(?:\\.\\d+)?(?::\\d+)?"));
    return number.match(QStringView(line).mid(from)).captured(0);
}

} // namespace

VideoProbe::VideoProbe(ExecRunner &runner, const LanguageTable &language, Messages::Channel &messages,
                       QObject *parent)
    : QObject(parent), m_runner(runner), m_language(language), m_messages(messages)
{}

QCoro::Task<bool> VideoProbe::ProbeVideo(QString path)
{
    co_return co_await probe(path, false, false);
}

QCoro::Task<bool> VideoProbe::GetVideoInfo(QString path, bool quiet)
{
    co_return co_await probe(path, true, quiet);
}

QCoro::Task<bool> VideoProbe::probe(QString path, bool batchForm, bool quiet)
{
    QPointer<VideoProbe> self(this);
    Q_EMIT probingChanged(true);
    const QString programDir = AppPaths::programDir();
    const QString mediainfo = QDir(programDir).filePath(QStringLiteral("mediainfo")) +
                              QStringLiteral(" --inform=\"Video;%ScanType%\" ") + quoted(path);
    const ProcessResult scan = co_await m_runner.captureOutput(mediainfo, 0, stop);
    if (!self)
        co_return false;
    ProbeResult found;
    found.interlaced =
        !QString::fromLocal8Bit(scan.output).contains(QLatin1String("Progressive"), Qt::CaseInsensitive);

    const QString frame = UniqueTempFile(AppPaths::tempDir(), QStringLiteral("bmp"), QStringLiteral("vu_"));
    const QString ffmpeg = QDir(programDir).filePath(QStringLiteral("ffmpeg")) + QStringLiteral(" -y -i ") +
                           quoted(path) + QStringLiteral(" -f image2 -ss 0.1 ") + quoted(frame);
    const ProcessResult probed = co_await m_runner.captureOutput(ffmpeg, 0, stop);
    const QString report = QString::fromLocal8Bit(probed.output);
    DeleteFileIfExists(frame);
    if (!self)
        co_return false;
    Q_EMIT probingChanged(false);

    failure = parseReport(report, batchForm, found);
    if (failure != ProbeFailure::None) {
        const QString text = failureText(m_language, failure);
        if (!quiet && !text.isEmpty())
            m_messages.show(text, {}, Messages::Icon::Warning);
        co_return false;
    }
    result = found;
    co_return true;
}

ProbeFailure VideoProbe::parseReport(const QString &text, bool batchForm, ProbeResult &r)
{
    if (batchForm && text.isEmpty())
        return ProbeFailure::BatchEmpty;
    if (text.contains(QLatin1String("Unknown format"), Qt::CaseInsensitive) ||
        text.contains(QLatin1String("does not contain any stream"), Qt::CaseInsensitive) ||
        text.contains(QLatin1String("Invalid data found when processing input")) ||
        text.contains(QLatin1String("Error opening filters")))
        return ProbeFailure::UnknownFormat;
    if (text.contains(QLatin1String("Error while opening file"), Qt::CaseInsensitive))
        return ProbeFailure::OpenError;
    if (text.contains(QLatin1String("no such file"), Qt::CaseInsensitive))
        return ProbeFailure::NoSuchFile;
    if (CountVideoStreams(text) >= 2)
        return ProbeFailure::MultiStream;

    static const QString durationMark = QStringLiteral("Duration: ");
    const qsizetype at = text.indexOf(durationMark, 0, Qt::CaseInsensitive);
    if (at < 0)
        return batchForm ? ProbeFailure::BatchDuration : ProbeFailure::Duration;
    const qsizetype p = at + durationMark.size();
    const qsizetype q = text.indexOf(u',', p);
    if (q < 0)
        return ProbeFailure::Unreadable;
    r.durationText = text.mid(p, q - p);
    const QStringList parts = r.durationText.split(u':');
    if (!isNumeric(parts.at(0)))
        return ProbeFailure::Duration;
    const double hours = parts.at(0).trimmed().toDouble();
    const double minutes = parts.size() > 1 ? parts.at(1).trimmed().toDouble() : 0;
    const double secondsPart = parts.size() > 2 ? parts.at(2).trimmed().toDouble() : 0;
    // The report is outside input: numbers no qint32 holds are no duration (NaN fails too).
    const auto fits = [](double x) { return std::abs(x) < 1e9; };
    if (!fits(hours) || !fits(minutes) || !fits(secondsPart) ||
        !fits(hours * 3600 + minutes * 60 + secondsPart))
        return ProbeFailure::Duration;
    const double seconds = parts.size() > 2 ? static_cast<double>(RoundHalfEven(secondsPart)) : 0;
    r.durationSeconds = static_cast<qint32>(hours * 3600 + minutes * 60 + seconds);

    const qsizetype v = text.indexOf(QLatin1String("Video:"), q, Qt::CaseInsensitive);
    if (v < 0)
        return ProbeFailure::Size;
    const bool wmv3 = text.mid(v + 6, 6) == QLatin1String(" wmv3 ");
    if (!ParseFrameSize(lineFrom(text, v), r.frameWidth, r.frameHeight))
        return ProbeFailure::Size;

    r.aspectNum = 0;
    r.aspectDen = 0;
    if (wmv3) {
        r.aspectNum = r.frameWidth;
        r.aspectDen = r.frameHeight;
    } else if (const qsizetype dar = text.indexOf(QLatin1String("DAR "), q, Qt::CaseInsensitive); dar >= 0) {
        const qsizetype from = dar + 4;
        const qsizetype close = text.indexOf(u']', from);
        const QStringList ratio = text.mid(from, close < 0 ? -1 : close - from).split(u':');
        r.aspectNum = leadingNumber(ratio.at(0));
        r.aspectDen = ratio.size() > 1 ? leadingNumber(ratio.at(1)) : 0;
    }
    r.displayWidth = EvenFrameSize(r.frameWidth);
    if (r.aspectNum < 1) {
        r.displayHeight = EvenFrameSize(r.frameHeight);
    } else {
        // In double: a ratio from the report may be any size; an absurd one is no ratio.
        const double height = static_cast<double>(r.frameWidth) * r.aspectDen / r.aspectNum;
        r.displayHeight =
            EvenFrameSize(height > 0 && height <= kMaxFrameSide ? static_cast<float>(height)
                                                                : static_cast<float>(r.frameHeight));
    }
    return ProbeFailure::None;
}

QString VideoProbe::failureKey(ProbeFailure failure)
{
    switch (failure) {
    case ProbeFailure::UnknownFormat:
        return QStringLiteral("msg_unknownFormat");
    case ProbeFailure::OpenError:
        return QStringLiteral("msg_openFileError");
    case ProbeFailure::NoSuchFile:
        return QStringLiteral("msg_noSuchFile");
    case ProbeFailure::MultiStream:
        return QStringLiteral("msg_multiStream");
    case ProbeFailure::Duration:
        return QStringLiteral("msg_durErr");
    default:
        return {};
    }
}

QString VideoProbe::failureText(const LanguageTable &language, ProbeFailure failure)
{
    switch (failure) {
    case ProbeFailure::None:
    case ProbeFailure::BatchEmpty:
        return {};
    case ProbeFailure::UnknownFormat:
        return language.text(kSection, failureKey(failure), QStringLiteral("Unknown format!"));
    case ProbeFailure::OpenError:
        return language.text(kSection, failureKey(failure), QStringLiteral("Open file error!"));
    case ProbeFailure::NoSuchFile:
        return language.text(kSection, failureKey(failure), QStringLiteral("No such file!"));
    case ProbeFailure::MultiStream:
        return language.text(kSection, failureKey(failure),
                             QStringLiteral("Multi-stream video is not supported!"));
    case ProbeFailure::Duration:
        return language.text(kSection, failureKey(failure),
                             QStringLiteral("Cannot retrieve video duration!"));
    case ProbeFailure::BatchDuration:
        return QStringLiteral("Cannot get video duration!");
    case ProbeFailure::Size:
        return QStringLiteral("Cannot get video size!");
    case ProbeFailure::Unreadable:
        return QStringLiteral("The video's report could not be read: a field is missing.");
    }
    return {};
}

int VideoProbe::CountVideoStreams(const QString &fullText)
{
    const qsizetype output = fullText.indexOf(QLatin1String("Output #"));
    const QString text = output < 0 ? fullText : fullText.left(output);
    static const QString mark = QStringLiteral("Stream #");
    QSet<QString> identifiers;
    for (qsizetype at = text.indexOf(mark); at >= 0; at = text.indexOf(mark, at + mark.size())) {
        const QString line = lineFrom(text, at);
        if (!line.contains(QLatin1String("Video:")))
            continue;
        identifiers.insert(streamIdentifier(line, mark.size()));
    }
    return static_cast<int>(identifiers.size());
}

bool VideoProbe::ParseFrameSize(const QString &line, qint32 &width, qint32 &height)
{
    width = 0;
    height = 0;
    // Only words with a space on both sides count.
    const QStringList pieces = line.split(u' ');
    for (qsizetype i = 1; i + 1 < pieces.size(); ++i) {
        QString word = pieces.at(i);
        word.remove(u',');
        const QStringList parts = word.split(u'x');
        if (parts.size() != 2)
            continue;
        bool wOk = false;
        bool hOk = false;
        const qint32 w = parts.at(0).toInt(&wOk);
        const qint32 h = parts.at(1).toInt(&hOk);
        if ((wOk ? w : 0) >= 1 && (hOk ? h : 0) > 0 && w <= kMaxFrameSide && h <= kMaxFrameSide) {
            width = w;
            height = h;
            return true;
        }
    }
    return false;
}

qint32 VideoProbe::EvenFrameSize(double x)
{
    return 2 * static_cast<qint32>(std::ceil(x / 2.0 - 0.5));
}

void VideoProbe::FitToWidth(qint32 &width, qint32 &height, qint32 maxWidth, qint32 aspectNum,
                            qint32 aspectDen)
{
    if (aspectNum > 0)
        height = EvenFrameSize(static_cast<float>(static_cast<float>(aspectDen) /
                                                  static_cast<float>(aspectNum) * static_cast<float>(width)));
    if (width < maxWidth) {
        width = EvenFrameSize(width);
        height = EvenFrameSize(height);
        return;
    }
    height = EvenFrameSize(static_cast<float>(static_cast<float>(height) / static_cast<float>(width) *
                                              static_cast<float>(maxWidth)));
    width = maxWidth;
}
