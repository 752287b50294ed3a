#include "add/frmCustomBps.h"
#include "support/TestLanguage.h"

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QList<QRadioButton *> choicesOf(const frmCustomBps &dialog)
{
    return dialog.findChildren<QRadioButton *>(u"optBps"_s);
}

} // namespace

class TestCustomBps : public QObject
{
    Q_OBJECT

    const LanguageTable m_language{languageFile()};

private Q_SLOTS:
    // The six steps, those over 2 GB, the remembered one ("*") and Set's estimate.
    void choices()
    {
        const struct
        {
            int defaultBps, duration, current;
            QStringList captions;
            int choose;
            QStringList estimate;
        } cases[] = {
            // x 1.4 = 1820: no drift from 0.2 steps; 1560 kbps for 300 s is 55.8 MiB.
            {1300,
             300,
             2600,
             {u"1300 kbps (100%) (default)"_s, u"1560 kbps (120%)"_s, u"1820 kbps (140%)"_s,
              u"2080 kbps (160%)"_s, u"2340 kbps (180%)"_s, u"2600 kbps (200%) *"_s},
             1,
             {u"Bit rate: about 1560 kbps"_s, u"Estimated size: 56 MB"_s}},
            // Five hours: 800 kbps is 1.68 GiB, a remembered 960 (2.01 GiB) is not selected.
            {800,
             18000,
             960,
             {u"800 kbps (100%) (default) *"_s, u"960 kbps (120%) (over 2 GB)"_s,
              u"1120 kbps (140%) (over 2 GB)"_s, u"1280 kbps (160%) (over 2 GB)"_s,
              u"1440 kbps (180%) (over 2 GB)"_s, u"1600 kbps (200%) (over 2 GB)"_s},
             0,
             {u"Bit rate: about 800 kbps"_s, u"Estimated size: 1.68 GB"_s}},
        };
        for (const auto &c : cases) {
            frmCustomBps dialog(m_language, c.current, nullptr);
            dialog.init(c.defaultBps, c.duration);
            QStringList shown;
            for (const QRadioButton *choice : choicesOf(dialog)) {
                shown << choice->text() + (choice->isChecked() ? u" *"_s : QString());
                QCOMPARE(choice->isEnabled(), !choice->text().contains(u"over 2 GB"_s));
            }
            QCOMPARE(shown, c.captions);
            choicesOf(dialog).at(c.choose)->setChecked(true);
            QTest::mouseClick(dialog.findChild<QPushButton *>(u"cmdSet"_s), Qt::LeftButton);
            QCOMPARE((QStringList{dialog.findChild<QLabel *>(u"lBps"_s)->text(),
                                  dialog.findChild<QLabel *>(u"lFileSize"_s)->text()}),
                     c.estimate);
        }
    }

    // Steps of 400 kbps: 400, 480, 560, ... 800; the result is the custom rate kept.
    void result()
    {
        const struct
        {
            int current, choose;
            QString action;
            int accepted, result;
        } cases[] = {
            {560, 0, u"ok"_s, 1, 0}, // OK on the default drops the custom rate
            {560, 2, u"ok"_s, 1, 560},
            {0, 5, u"enter"_s, 1, 800}, // Enter acts as OK
            {560, 4, u"cancel"_s, 0, 560},
        };
        for (const auto &c : cases) {
            frmCustomBps dialog(m_language, c.current, nullptr);
            dialog.init(400, 600);
            dialog.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dialog));
            QRadioButton *target = choicesOf(dialog).at(c.choose);
            // Clicked like a user does, so that it also holds the focus.
            QTest::mouseClick(target, Qt::LeftButton);
            if (c.action == u"enter")
                QTest::keyClick(target, Qt::Key_Return);
            else
                QTest::mouseClick(
                    dialog.findChild<QPushButton *>(c.action == u"ok" ? u"cmdOK"_s : u"cmdCancel"_s),
                    Qt::LeftButton);
            QVERIFY(!dialog.isVisible());
            QCOMPARE((QList<int>{dialog.result(), dialog.customBps()}), (QList<int>{c.accepted, c.result}));
        }
    }
};

int runCustomBpsTests(int argc, char *argv[])
{
    TestCustomBps tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "test_custombps.moc"
