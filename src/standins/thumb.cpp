// clipferry-thumb PAGE IMAGE 800 600 W H 2000: stands in for the recorder's
// thumb.exe, which turns the local page of a link item into a slide.
//
// PAGE is a local path (or a file:// address) of a page or an image; IMAGE is
// the JPEG to write. Callers write blanks in both as commas, so a path that
// does not exist as written is tried with its commas turned back into blanks.
// An image is scaled to W x H. A page is rendered by headless Chromium in an
// 800 x 600 window, given 2000 ms of page time to settle, then scaled; without
// a browser it becomes a placeholder card with the page's title and address.
// Scaling keeps the aspect ratio and fills the rest of the slide with white.
//
// CLIPFERRY_BROWSER names the browser to use instead of looking for one (a
// missing program means none). CLIPFERRY_THUMB_TIMEOUT_MS replaces the limit
// after which a browser that has not finished is killed (the settle time plus
// 30 s).
//
// Nothing is written when the page cannot be read or rendered: the exit code
// is then 1 (2 for a wrong command line) with one line on stderr.

#include "platform/Coro.h"
#include "platform/ProcessRunner.h"
#include "standins/StandinMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QUrl>
#include <optional>
#include <variant>

#ifdef Q_OS_UNIX
#include <csignal>
#include <unistd.h>
#endif

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

constexpr int kMaxPixels = 16384;
constexpr int kJpegQuality = 90;
constexpr qint64 kTitleBytes = 1 << 20;
const QStringList kImageFormats{u"jpg"_s, u"jpeg"_s, u"png"_s, u"gif"_s, u"bmp"_s};

struct Request
{
    QString page;   // an existing local file
    QString target; // the JPEG, in an existing folder
    QSize window;
    QSize size;
    int settleMs = 0;
};

struct Failure
{
    int exitCode = 1;
    QString message;
};

enum class ShotEnd
{
    Taken,
    Failed,
    TimedOut
};

struct Shot
{
    ShotEnd end = ShotEnd::Failed;
    QImage image;
};

QString withBlanks(QString path)
{
    return path.replace(u',', u' ');
}

QString localPath(const QString &address)
{
    if (address.startsWith(u"file:", Qt::CaseInsensitive))
        return QUrl(address).toLocalFile();
    return address;
}

// The page as written, else with its commas as blanks.
std::optional<QString> existingPage(const QString &address)
{
    for (const QString &candidate : {address, withBlanks(address)}) {
        const QFileInfo info(localPath(candidate));
        if (info.isFile())
            return info.absoluteFilePath();
    }
    return std::nullopt;
}

// The image path as written when its folder exists, else with commas as blanks.
std::optional<QString> writableTarget(const QString &path)
{
    for (const QString &candidate : {path, withBlanks(path)}) {
        const QFileInfo info(candidate);
        if (!info.fileName().isEmpty() && info.absoluteDir().exists())
            return info.absoluteFilePath();
    }
    return std::nullopt;
}

std::optional<int> number(const QString &text, int lowest, int highest)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < lowest || value > highest)
        return std::nullopt;
    return value;
}

std::variant<Request, Failure> parseRequest(const QStringList &args)
{
    const Failure usage{
        2, u"usage: clipferry-thumb PAGE IMAGE WINDOW_WIDTH WINDOW_HEIGHT WIDTH HEIGHT SETTLE_MS"_s};
    if (args.size() != 7)
        return usage;
    const auto windowWidth = number(args[2], 1, kMaxPixels);
    const auto windowHeight = number(args[3], 1, kMaxPixels);
    const auto width = number(args[4], 1, kMaxPixels);
    const auto height = number(args[5], 1, kMaxPixels);
    const auto settle = number(args[6], 0, 600'000);
    if (!windowWidth || !windowHeight || !width || !height || !settle)
        return usage;
    const auto page = existingPage(args[0]);
    if (!page)
        return Failure{1, u"cannot read %1: no such file"_s.arg(args[0])};
    const auto target = writableTarget(args[1]);
    if (!target)
        return Failure{1, u"cannot write %1: no such folder"_s.arg(args[1])};
    return Request{*page, *target, {*windowWidth, *windowHeight}, {*width, *height}, *settle};
}

// Known image formats are recognised by name or, failing that, by content.
bool isImage(const QString &path)
{
    if (kImageFormats.contains(QFileInfo(path).suffix().toLower()))
        return true;
    return kImageFormats.contains(QString::fromLatin1(QImageReader::imageFormat(path)));
}

QString decodeEntities(const QString &text)
{
    static const QRegularExpression entity(u"&(#[0-9]{1,7}|#[xX][0-9a-fA-F]{1,6}|[a-zA-Z]+);"_s);
    QString out;
    qsizetype last = 0;
    for (const QRegularExpressionMatch &match : entity.globalMatch(text)) {
        out += QStringView(text).sliced(last, match.capturedStart() - last);
        last = match.capturedEnd();
        const QString name = match.captured(1);
        bool ok = false;
        char32_t code = 0;
        if (name.startsWith(u"#x", Qt::CaseInsensitive))
            code = name.sliced(2).toUInt(&ok, 16);
        else if (name.startsWith(u'#'))
            code = name.sliced(1).toUInt(&ok, 10);
        else if (name == u"amp" || name == u"lt" || name == u"gt" || name == u"quot" || name == u"apos" ||
                 name == u"nbsp") {
            const QString plain = name == u"amp"    ? u"&"_s
                                  : name == u"lt"   ? u"<"_s
                                  : name == u"gt"   ? u">"_s
                                  : name == u"quot" ? u"\""_s
                                  : name == u"apos" ? u"'"_s
                                                    : u" "_s;
            out += plain;
            continue;
        }
        if (ok && code > 0 && code <= 0x10FFFF)
            out += QString::fromUcs4(&code, 1);
        else
            out += match.captured(0);
    }
    out += QStringView(text).sliced(last);
    return out;
}

// The page's <title>, in the page's own encoding; empty when it has none.
QString pageTitle(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray head = file.read(kTitleBytes);
    QStringDecoder decoder(QStringConverter::encodingForHtml(head).value_or(QStringConverter::Utf8));
    const QString html = decoder.decode(head);
    static const QRegularExpression title(u"<title[^>]*>(.*?)</title\\s*>"_s,
                                          QRegularExpression::CaseInsensitiveOption |
                                              QRegularExpression::DotMatchesEverythingOption);
    return decodeEntities(title.match(html).captured(1)).simplified();
}

// Scales to the slide size keeping the aspect ratio, centred on white.
QImage fitted(const QImage &source, QSize size)
{
    QImage canvas(size, QImage::Format_RGB32);
    canvas.fill(Qt::white);
    const QImage scaled = source.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPainter painter(&canvas);
    painter.drawImage((size.width() - scaled.width()) / 2, (size.height() - scaled.height()) / 2, scaled);
    return canvas;
}

// The largest font (down to a legible minimum) in which the text fits the box.
QFont fittingFont(QFont font, int largest, const QRect &box, const QString &text, int flags)
{
    for (int pixels = largest; pixels > 8; pixels = pixels * 9 / 10) {
        font.setPixelSize(pixels);
        if (box.contains(QFontMetrics(font).boundingRect(box, flags, text)))
            return font;
    }
    font.setPixelSize(8);
    return font;
}

// What a slide shows when no browser can render the page: its title (or file
// name) large, its address small beneath, on a light card.
QImage placeholderCard(QSize size, const QString &title, const QString &address)
{
    QImage card(size, QImage::Format_RGB32);
    card.fill(QColor(0xf2, 0xf4, 0xf7));
    QPainter painter(&card);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    const int band = std::max(2, size.height() / 16);
    painter.fillRect(0, 0, size.width(), band, QColor(0x2f, 0x5d, 0x8c));
    painter.setPen(QColor(0xc4, 0xca, 0xd3));
    painter.drawRect(card.rect().adjusted(0, 0, -1, -1));

    const int margin = std::max(4, size.width() / 16);
    const int addressHeight = std::max(10, size.height() / 8);
    const QRect titleBox(margin, band + margin, size.width() - 2 * margin,
                         size.height() - band - 2 * margin - addressHeight);
    const QRect addressBox(margin, size.height() - margin - addressHeight, size.width() - 2 * margin,
                           addressHeight);

    QFont font = QGuiApplication::font();
    font.setBold(true);
    const int titleFlags = Qt::AlignCenter | Qt::TextWordWrap;
    painter.setFont(fittingFont(font, std::max(9, size.height() / 9), titleBox, title, titleFlags));
    painter.setPen(QColor(0x1f, 0x29, 0x33));
    painter.drawText(titleBox, titleFlags, title);

    font.setBold(false);
    font.setPixelSize(std::max(8, size.height() / 28));
    painter.setFont(font);
    painter.setPen(QColor(0x5a, 0x66, 0x73));
    const QString elided = QFontMetrics(font).elidedText(address, Qt::ElideMiddle, addressBox.width());
    painter.drawText(addressBox, Qt::AlignHCenter | Qt::AlignBottom, elided);
    return card;
}

QString findBrowser()
{
    if (qEnvironmentVariableIsSet("CLIPFERRY_BROWSER")) {
        const QString chosen = qEnvironmentVariable("CLIPFERRY_BROWSER");
        const QFileInfo info(chosen);
        if (info.isAbsolute())
            return info.isFile() && info.isExecutable() ? chosen : QString();
        return chosen.isEmpty() ? QString() : QStandardPaths::findExecutable(chosen);
    }
    for (const QString &name : {u"chromium"_s, u"chromium-browser"_s, u"google-chrome"_s}) {
        if (QString found = QStandardPaths::findExecutable(name); !found.isEmpty())
            return found;
    }
    return {};
}

std::chrono::milliseconds browserLimit(int settleMs)
{
    bool ok = false;
    const int chosen = qEnvironmentVariableIntValue("CLIPFERRY_THUMB_TIMEOUT_MS", &ok);
    if (ok && chosen > 0)
        return std::chrono::milliseconds(chosen);
    return std::chrono::milliseconds(settleMs) + 30s;
}

QCoro::Task<Shot> browserShot(QString browser, QString page, QSize window, int settleMs)
{
    QTemporaryDir work(QDir(QDir::tempPath()).filePath(u"clipferry-thumb-XXXXXX"_s));
    if (!work.isValid())
        co_return Shot{};
    const QString shot = work.filePath(u"page.png"_s);
    const QStringList args{u"--headless"_s,
                           u"--disable-gpu"_s,
                           u"--no-sandbox"_s,
                           u"--no-first-run"_s,
                           u"--no-default-browser-check"_s,
                           u"--hide-scrollbars"_s,
                           u"--mute-audio"_s,
                           u"--user-data-dir="_s + work.filePath(u"profile"_s),
                           u"--screenshot="_s + shot,
                           u"--window-size=%1,%2"_s.arg(window.width()).arg(window.height()),
                           u"--virtual-time-budget=%1"_s.arg(settleMs),
                           QUrl::fromLocalFile(page).toString(QUrl::FullyEncoded)};
    ProcessSpec spec = ProcessSpec::of(browser, args);
    spec.timeout = browserLimit(settleMs);
    spec.discardOutput = true;
    // The browser leaves helper processes behind.
    spec.endGroupAfterwards = true;
    ProcessRunner processes;
    const ProcessResult ran = co_await processes.run(std::move(spec));
    if (ran.outcome == ProcessOutcome::TimedOut)
        co_return Shot{ShotEnd::TimedOut, {}};
    QImage image(shot);
    if (!ran.ok() || image.isNull())
        co_return Shot{};
    co_return Shot{ShotEnd::Taken, image};
}

std::optional<Failure> writeJpeg(const QImage &image, const QString &target)
{
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return Failure{1, u"cannot write %1: %2"_s.arg(target, file.errorString())};
    QImageWriter writer(&file, "jpeg");
    writer.setQuality(kJpegQuality);
    if (!writer.write(image))
        return Failure{1, u"cannot write %1: %2"_s.arg(target, writer.errorString())};
    if (!file.commit())
        return Failure{1, u"cannot write %1: %2"_s.arg(target, file.errorString())};
    return std::nullopt;
}

QCoro::Task<std::variant<QImage, Failure>> slideImage(Request request)
{
    if (isImage(request.page)) {
        QImageReader reader(request.page);
        reader.setAutoTransform(true);
        const QImage image = reader.read();
        if (image.isNull())
            co_return Failure{1, u"cannot read %1: %2"_s.arg(request.page, reader.errorString())};
        co_return fitted(image, request.size);
    }
    if (QFile file(request.page); !file.open(QIODevice::ReadOnly))
        co_return Failure{1, u"cannot read %1: %2"_s.arg(request.page, file.errorString())};

    if (const QString browser = findBrowser(); !browser.isEmpty()) {
        const Shot shot = co_await browserShot(browser, request.page, request.window, request.settleMs);
        if (shot.end == ShotEnd::Taken)
            co_return fitted(shot.image, request.size);
        if (shot.end == ShotEnd::TimedOut)
            co_return Failure{1, u"%1 did not render %2 in time"_s.arg(browser, request.page)};
        QTextStream(stderr) << "clipferry-thumb: " << browser << " could not render " << request.page
                            << "; drawing a placeholder" << Qt::endl;
    }
    QString title = pageTitle(request.page);
    if (title.isEmpty())
        title = QFileInfo(request.page).fileName();
    co_return placeholderCard(request.size, title, QDir::toNativeSeparators(request.page));
}

QCoro::Task<int> makeSlide(QStringList args)
{
    const auto parsed = parseRequest(args);
    std::optional<Failure> failure;
    if (const auto *refused = std::get_if<Failure>(&parsed)) {
        failure = *refused;
    } else {
        const auto slide = co_await slideImage(std::get<Request>(parsed));
        if (const auto *image = std::get_if<QImage>(&slide))
            failure = writeJpeg(*image, std::get<Request>(parsed).target);
        else
            failure = std::get<Failure>(slide);
    }
    if (!failure)
        co_return 0;
    const QString prefix = failure->exitCode == 2 ? QString() : u"clipferry-thumb: "_s;
    QTextStream(stderr) << prefix << failure->message << Qt::endl;
    co_return failure->exitCode;
}

// Qt's own notices (a missing runtime folder, a font fallback) would bury the
// one line this tool reports on stderr; only its serious ones are kept.
void seriousQtMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        QTextStream(stderr) << message << Qt::endl;
}


} // namespace

int main(int argc, char *argv[])
{
    // The tool never shows a window: the offscreen platform gives it fonts and
    // painting without a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(seriousQtMessages);
    return runStandin<QGuiApplication>(argc, argv, makeSlide);
}
