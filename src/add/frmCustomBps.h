#pragma once

#include <QDialog>
#include <array>

class LanguageTable;
class QButtonGroup;
class QLabel;
class QPushButton;
class QRadioButton;

// Lets the user raise the add dialog's total bit rate in six steps of 20 %,
// shows the bit rate and upload size of a step, and hands the choice back
// as the entry's custom bit rate.
class frmCustomBps final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmCustomBps)

public:
    static constexpr int kChoices = 6;

    // `currentCustomBps` is the add dialog's custom bit rate (0 for none);
    // it stays the result unless OK is pressed.
    frmCustomBps(const LanguageTable &language, int currentCustomBps, QWidget *parent);

    // Fills the choices from the computed total bit rate (kbps) and the
    // source's duration (seconds).
    void init(int defaultBps, int duration);

    // After OK: 0 for the computed rate, else the chosen kbps.
    int customBps() const { return m_result; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void showEstimate();
    void takeChoice();
    QRadioButton *selectedChoice() const;

    const LanguageTable &m_language;
    std::array<QRadioButton *, kChoices> m_choices{};
    std::array<int, kChoices> m_values{};
    QButtonGroup *m_group;
    QLabel *m_bps;
    QLabel *m_fileSize;
    QPushButton *m_set;
    QPushButton *m_ok;
    QPushButton *m_cancel;
    int m_current;
    int m_result;
    int m_duration = 0;
};
