#pragma once

#include <QDialog>

class LanguageTable;
class QFontMetrics;
class QLabel;

// Asks whether a source that is queued already replaces its queued entry:
// Yes, No, or the same answer for every further duplicate of this batch.
class frmConfirm final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmConfirm)

public:
    enum Answer : qint16
    {
        NoAnswer = 0, // closed without a button: never a replace
        Yes = 1,
        No = 2,
        AllYes = 3,
        AllNo = 4
    };

    frmConfirm(const LanguageTable &language, QWidget *parent = nullptr);

    // Read by the caller once the dialog has closed.
    qint16 ConfirmResult = NoAnswer;

    // Shows `path`, shortened to the label's width.
    void setPath(const QString &path);
    QString path() const { return m_fullPath; }

    // `text` as it fits into `maxWidth` pixels of `metrics`: folders after the
    // first part give way to "..." one by one; the first part and the file
    // name always stay. Paths with "\" separators are shortened at those.
    static QString contractStr(const QString &text, int maxWidth, const QFontMetrics &metrics);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void answer(Answer value);
    void showPath();

    QLabel *m_path;
    QString m_fullPath;
};
