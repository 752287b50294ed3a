#include "add/frmCustomBps.h"

#include "add/VideoSettings.h"
#include "common/Lang.h"
#include "common/LanguageWidget.h"
#include "common/TextUtil.h"

#include <QButtonGroup>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>

using namespace Qt::StringLiterals;

namespace {

const QString kSection = u"frmCustomBps"_s;
// The estimate's captions are the add dialog's, so both read alike.
const QString kAddSection = u"frmAdd"_s;

QString bpsText(const LanguageTable &language, int kbps)
{
    return language.text(kAddSection, u"lBps"_s) + u' ' +
           language.text(kAddSection, u"lBpsAbout"_s, u"about %s kbps"_s).replace(u"%s"_s, QString::number(kbps));
}

QString fileSizeText(const LanguageTable &language, int kbps, int seconds)
{
    return language.text(kAddSection, u"lFileSize"_s) +
           VideoSettings::SizeText(VideoSettings::BytesOf(kbps, seconds));
}

} // namespace

frmCustomBps::frmCustomBps(const LanguageTable &language, int currentCustomBps, QWidget *parent)
    : QDialog(parent), m_language(language), m_group(new QButtonGroup(this)),
      m_bps(NamedControl<QLabel>(u"lBps"_s, this)), m_fileSize(NamedControl<QLabel>(u"lFileSize"_s, this)),
      m_set(NamedControl<QPushButton>(u"cmdSet"_s, this)), m_ok(NamedControl<QPushButton>(u"cmdOK"_s, this)),
      m_cancel(NamedControl<QPushButton>(u"cmdCancel"_s, this)), m_current(currentCustomBps),
      m_result(currentCustomBps)
{
    setObjectName(kSection);
    setModal(true);

    auto *frame = new QGroupBox(this);
    frame->setObjectName(u"fraBps"_s);
    auto *choices = new QVBoxLayout(frame);
    for (int i = 0; i < kChoices; ++i) {
        // One name for all six, as the language file has one caption for them.
        auto *choice = new QRadioButton(frame);
        choice->setObjectName(u"optBps"_s);
        m_group->addButton(choice, i);
        choices->addWidget(choice);
        m_choices[static_cast<size_t>(i)] = choice;
    }
    m_choices[0]->setChecked(true);

    auto *labels = new QVBoxLayout;
    labels->addWidget(m_bps);
    labels->addWidget(m_fileSize);
    auto *estimate = new QHBoxLayout;
    estimate->addLayout(labels, 1);
    estimate->addWidget(m_set, 0, Qt::AlignTop);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(frame);
    layout->addLayout(estimate);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // Enter on a choice or a label acts as OK; a focused button still takes
    // Enter for itself.
    m_ok->setDefault(true);
    connect(m_set, &QPushButton::clicked, this, &frmCustomBps::showEstimate);
    connect(m_ok, &QPushButton::clicked, this, &frmCustomBps::takeChoice);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);

    ApplyLanguage(m_language, this);
}

void frmCustomBps::init(int defaultBps, int duration)
{
    m_duration = duration;
    m_choices[0]->setChecked(true);
    for (int i = 0; i < kChoices; ++i) {
        QRadioButton *choice = m_choices[static_cast<size_t>(i)];
        const int value = static_cast<int>(RoundHalfEven(defaultBps * (1.0 + 0.2 * i)));
        m_values[static_cast<size_t>(i)] = value;
        QString caption = QString::number(value) + u" kbps ("_s + QString::number(100 + 20 * i) + u"%)"_s;
        if (i == 0)
            caption += u' ' + m_language.text(kSection, u"default"_s, u"default"_s);
        const bool tooLarge = VideoSettings::BytesOf(value, duration) > VideoSettings::kLimitBytes;
        if (tooLarge)
            caption += u' ' + m_language.text(kSection, u"exceedLimit"_s);
        choice->setText(caption);
        choice->setEnabled(!tooLarge);
        // A remembered rate that no longer fits leaves the default selected.
        if (value == m_current && !tooLarge)
            choice->setChecked(true);
    }

    // Room for the longest estimate, so that Set does not resize the window.
    const QFontMetrics metrics(m_bps->font());
    const int widest =
        std::max(metrics.horizontalAdvance(bpsText(m_language, m_values.back())),
                 metrics.horizontalAdvance(m_language.text(kAddSection, u"lFileSize"_s) + u"0000 MB"_s));
    m_bps->setMinimumWidth(widest);
    m_fileSize->setMinimumWidth(widest);
}

void frmCustomBps::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // Focused once the window is up, so that its activation cannot move the
    // focus back to the first control.
    QTimer::singleShot(std::chrono::milliseconds(50), this, [this] {
        if (QRadioButton *choice = selectedChoice())
            choice->setFocus(Qt::OtherFocusReason);
    });
}

void frmCustomBps::showEstimate()
{
    const int id = m_group->checkedId();
    if (id < 0)
        return;
    const int value = m_values[static_cast<size_t>(id)];
    m_bps->setText(bpsText(m_language, value));
    m_fileSize->setText(fileSizeText(m_language, value, m_duration));
}

void frmCustomBps::takeChoice()
{
    const int id = m_group->checkedId();
    if (id < 0)
        return;
    m_result = id == 0 ? 0 : m_values[static_cast<size_t>(id)];
    accept();
}

QRadioButton *frmCustomBps::selectedChoice() const
{
    return qobject_cast<QRadioButton *>(m_group->checkedButton());
}
