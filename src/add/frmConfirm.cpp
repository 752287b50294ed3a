#include "add/frmConfirm.h"

#include "common/Lang.h"
#include "common/LanguageWidget.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

frmConfirm::frmConfirm(const LanguageTable &language, QWidget *parent)
    : QDialog(parent), m_path(NamedControl<QLabel>(u"lPath"_s, this))
{
    setObjectName(u"frmConfirm"_s);
    setModal(true);
    auto *question = NamedControl<QLabel>(u"lQuestion"_s, this);
    question->setWordWrap(true);
    // The path is shortened to the label, never the label widened to the path.
    m_path->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_path->setMinimumWidth(360);
    m_path->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    const std::array<std::pair<QString, Answer>, 4> answers{
        {{u"cmdYes"_s, Yes}, {u"cmdNo"_s, No}, {u"cmdAllYes"_s, AllYes}, {u"cmdAllNo"_s, AllNo}}};
    for (const auto &[name, value] : answers) {
        auto *button = NamedControl<QPushButton>(name, this);
        connect(button, &QPushButton::clicked, this, [this, value] { answer(value); });
        buttons->addWidget(button);
    }
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(question);
    layout->addWidget(m_path);
    layout->addLayout(buttons);
    ApplyLanguage(language, this);
}

void frmConfirm::setPath(const QString &path)
{
    m_fullPath = path;
    m_path->setToolTip(path);
    showPath();
}

void frmConfirm::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    showPath();
}

void frmConfirm::showPath()
{
    m_path->setText(contractStr(m_fullPath, m_path->contentsRect().width(), m_path->fontMetrics()));
}

void frmConfirm::answer(Answer value)
{
    ConfirmResult = value;
    // Yes and All Yes replace; the caller reads which.
    done(value == Yes || value == AllYes ? Accepted : Rejected);
}

QString frmConfirm::contractStr(const QString &text, int maxWidth, const QFontMetrics &metrics)
{
    if (metrics.horizontalAdvance(text) <= maxWidth)
        return text;
    const QChar separator = text.contains(u'/') || !text.contains(u'\\') ? u'/' : u'\\';
    QStringList parts = text.split(separator);
    if (parts.size() <= 2)
        return text;
    QString result = text;
    for (qsizetype i = 1; i + 1 < parts.size(); ++i) {
        parts[i] = i == 1 ? u"..."_s : QString();
        result = parts.first();
        for (qsizetype j = 1; j < parts.size(); ++j) {
            if (!parts.at(j).isEmpty())
                result += separator + parts.at(j);
        }
        if (metrics.horizontalAdvance(result) <= maxWidth)
            break;
    }
    return result;
}
