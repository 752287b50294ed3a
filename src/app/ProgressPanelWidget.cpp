#include "app/ProgressPanelWidget.h"

#include "common/Lang.h"
#include "queue/QueueModel.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// Fast enough to look alive, slow enough that the dots can be counted.
constexpr int kAnimationIntervalMs = 500;
// The panel keeps the encoder's recent output; a few lines show what it does.
constexpr int kOutputLines = 6;
constexpr double kMegabyte = 1024.0 * 1024.0;

QString megabytes(double bytes)
{
    return QString::number(bytes / kMegabyte, 'f', 1);
}

} // namespace

ProgressPanelWidget::ProgressPanelWidget(QWidget *parent)
    : QWidget(parent), m_status(new QLabel(this)), m_transfer(new QLabel(this)),
      m_queueLeft(new QLabel(this)), m_convertInfo(new QLabel(this)), m_injection(new QLabel(this)),
      m_progress(new QProgressBar(this)), m_output(new QPlainTextEdit(this)), m_animation(new QTimer(this))
{
    m_status->setObjectName(QStringLiteral("lStatus"));
    m_transfer->setObjectName(QStringLiteral("lTransfer"));
    m_queueLeft->setObjectName(QStringLiteral("lQueueLeft"));
    m_convertInfo->setObjectName(QStringLiteral("lConvertInfo"));
    m_injection->setObjectName(QStringLiteral("lInjection"));
    m_progress->setObjectName(QStringLiteral("ProgressBar1"));
    m_output->setObjectName(QStringLiteral("txtOutput"));
    m_animation->setObjectName(QStringLiteral("TmrAnimation"));

    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_convertInfo->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // One line that keeps its place when hidden: nothing below it moves.
    m_convertInfo->setWordWrap(false);
    m_convertInfo->setMinimumWidth(1);
    QSizePolicy keepPlace = m_convertInfo->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    keepPlace.setHorizontalPolicy(QSizePolicy::Ignored);
    m_convertInfo->setSizePolicy(keepPlace);
    // Only its caption is used, appended to the progress text.
    m_injection->hide();
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_output->setReadOnly(true);
    // Reached with Tab too, to read and copy from by keyboard.
    m_output->setFocusPolicy(Qt::StrongFocus);
    m_output->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_output->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_output->setFixedHeight(m_output->fontMetrics().lineSpacing() * kOutputLines +
                             2 * m_output->frameWidth() + 8);
    m_animation->setInterval(kAnimationIntervalMs);
    connect(m_animation, &QTimer::timeout, this, &ProgressPanelWidget::animate);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *statusLine = new QHBoxLayout;
    statusLine->addWidget(m_status, 1);
    statusLine->addWidget(m_transfer);
    statusLine->addSpacing(12);
    statusLine->addWidget(m_queueLeft);
    layout->addLayout(statusLine);
    layout->addWidget(m_convertInfo);
    layout->addWidget(m_injection);
    layout->addWidget(m_progress);
    m_output->hide();

    setConvertDetailsVisible(false);
}

QString ProgressPanelWidget::statusText() const
{
    return m_status->text();
}

void ProgressPanelWidget::setStatusText(const QString &text)
{
    m_status->setText(text);
}

void ProgressPanelWidget::setConvertInfo(const QString &text)
{
    m_convertInfo->setText(text);
}

QString ProgressPanelWidget::injectionCaption() const
{
    return m_injection->text();
}

void ProgressPanelWidget::setProgress(int percent)
{
    m_progress->setValue(std::clamp(percent, 0, 100));
}

void ProgressPanelWidget::setProgressVisible(bool visible)
{
    m_progress->setVisible(visible);
}

void ProgressPanelWidget::setOutputText(const QString &text)
{
    m_output->setPlainText(text);
    // The caret one character before the end keeps the newest output in view.
    QTextCursor cursor = m_output->textCursor();
    cursor.movePosition(QTextCursor::End);
    if (!text.isEmpty())
        cursor.movePosition(QTextCursor::PreviousCharacter);
    m_output->setTextCursor(cursor);
    m_output->ensureCursorVisible();
}

void ProgressPanelWidget::appendOutputLine(const QString &line)
{
    m_output->appendPlainText(line);
}

void ProgressPanelWidget::setAnimationRunning(bool running)
{
    if (running)
        m_animation->start();
    else
        m_animation->stop();
}

void ProgressPanelWidget::setConvertDetailsVisible(bool visible)
{
    m_convertInfo->setVisible(visible);
}

QString ProgressPanelWidget::text(const char *key) const
{
    return m_language ? m_language->text(QStringLiteral("frmUpload"), QString::fromLatin1(key)) : QString();
}

void ProgressPanelWidget::setStepProgress(const StepProgress &progress)
{
    if (progress.phase != EntryPhase::Uploading || progress.bytesTotal <= 0) {
        m_transfer->clear();
        return;
    }
    QString line = text("msgSent").arg(megabytes(static_cast<double>(progress.bytesDone)),
                                       megabytes(static_cast<double>(progress.bytesTotal)));
    if (progress.bytesPerSecond > 0)
        line += QStringLiteral(", ") + text("msgSpeed").arg(megabytes(progress.bytesPerSecond));
    m_transfer->setText(line);
}

void ProgressPanelWidget::setQueueSecondsLeft(qint64 seconds)
{
    if (seconds < 0)
        m_queueLeft->clear();
    else
        m_queueLeft->setText(text("msgQueueLeft").arg(QueueModel::durationText(seconds)));
}

QString ProgressPanelWidget::transferText() const
{
    return m_transfer->text();
}

QString ProgressPanelWidget::queueLeftText() const
{
    return m_queueLeft->text();
}

QString ProgressPanelWidget::outputText() const
{
    return m_output->toPlainText();
}

bool ProgressPanelWidget::animationRunning() const
{
    return m_animation->isActive();
}

void ProgressPanelWidget::animate()
{
    m_status->setText(m_status->text() + u'.');
}
