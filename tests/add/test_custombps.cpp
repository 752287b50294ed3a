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

int selectedIndex(const frmCustomBps &dialog)
{
    const QList<QRadioButton *> choices = choicesOf(dialog);
    for (int i = 0; i < choices.size(); ++i) {
        if (choices.at(i)->isChecked())
            return i;
    }
    return -1;
}

} // namespace

class TestCustomBps : public QObject
{
    Q_OBJECT

    const LanguageTable m_language{languageFile()};

private Q_SLOTS:
    // The six steps, which of them fit under 2 GB, the remembered one
    // selected, and Set's estimate for the chosen step.
    void choices_data()
    {
        QTest::addColumn<int>("defaultBps");
        QTest::addColumn<int>("duration");
        QTest::addColumn<int>("current");
        QTest::addColumn<QStringList>("captions");
        QTest::addColumn<int>("selected");
        QTest::addColumn<int>("choose");
        QTest::addColumn<QStringList>("estimate");
        // 1300 x 1.2 = 1560, x 1.4 = 1820: no rounding drift from 0.2 steps.
        // 1560 kbps for 300 s: 58,500,000 bytes, 55.8 MiB.
        QTest::newRow("1300 kbps, reopened after 2600")
            << 1300 << 300 << 2600
            << QStringList{"1300 kbps (100%) (default)", "1560 kbps (120%)", "1820 kbps (140%)",
                           "2080 kbps (160%)",           "2340 kbps (180%)", "2600 kbps (200%)"}
            << 5 << 1 << QStringList{"Bit rate: about 1560 kbps", "Estimated size: 56 MB"};
        // 800 kbps for five hours is 1,800,000,000 bytes (1.68 GiB); 960 kbps
        // 2,160,000,000: a remembered 960 no longer fits and is not selected.
        QTest::newRow("five hours at 800 kbps")
            << 800 << 18000 << 960
            << QStringList{"800 kbps (100%) (default)",    "960 kbps (120%) (over 2 GB)",
                           "1120 kbps (140%) (over 2 GB)", "1280 kbps (160%) (over 2 GB)",
                           "1440 kbps (180%) (over 2 GB)", "1600 kbps (200%) (over 2 GB)"}
            << 0 << 0 << QStringList{"Bit rate: about 800 kbps", "Estimated size: 1.68 GB"};
    }
    void choices()
    {
        QFETCH(int, defaultBps);
        QFETCH(int, duration);
        QFETCH(int, current);
        QFETCH(QStringList, captions);
        QFETCH(int, selected);
        QFETCH(int, choose);
        QFETCH(QStringList, estimate);
        frmCustomBps dialog(m_language, current, nullptr);
        dialog.init(defaultBps, duration);
        QStringList shown;
        for (const QRadioButton *choice : choicesOf(dialog)) {
            shown << choice->text();
            QCOMPARE(choice->isEnabled(), !choice->text().contains(u"over 2 GB"_s));
        }
        QCOMPARE(shown, captions);
        QCOMPARE(selectedIndex(dialog), selected);
        choicesOf(dialog).at(choose)->setChecked(true);
        QTest::mouseClick(dialog.findChild<QPushButton *>(u"cmdSet"_s), Qt::LeftButton);
        QCOMPARE((QStringList{dialog.findChild<QLabel *>(u"lBps"_s)->text(),
                              dialog.findChild<QLabel *>(u"lFileSize"_s)->text()}),
                 estimate);
    }

    void result_data()
    {
        QTest::addColumn<int>("current");
        QTest::addColumn<int>("choose");
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("accepted");
        QTest::addColumn<int>("result");
        QTest::newRow("OK on the default drops the custom rate") << 560 << 0 << "ok" << 1 << 0;
        QTest::newRow("OK keeps the remembered step") << 560 << -1 << "ok" << 1 << 560;
        QTest::newRow("Enter acts as OK") << 0 << 5 << "enter" << 1 << 800;
        QTest::newRow("Cancel changes nothing") << 560 << 4 << "cancel" << 0 << 560;
    }
    void result()
    {
        QFETCH(int, current);
        QFETCH(int, choose);
        QFETCH(QString, action);
        QFETCH(int, accepted);
        QFETCH(int, result);
        frmCustomBps dialog(m_language, current, nullptr);
        dialog.init(400, 600);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QList<QRadioButton *> choices = choicesOf(dialog);
        QRadioButton *target = choose < 0 ? choices.at(selectedIndex(dialog)) : choices.at(choose);
        // Clicked like a user does, so that it also holds the focus.
        QTest::mouseClick(target, Qt::LeftButton);
        QVERIFY(target->isChecked());
        if (action == u"enter")
            QTest::keyClick(target, Qt::Key_Return);
        else
            QTest::mouseClick(dialog.findChild<QPushButton *>(action == u"ok" ? u"cmdOK"_s : u"cmdCancel"_s),
                              Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), accepted);
        QCOMPARE(dialog.customBps(), result);
    }
};

int runCustomBpsTests(int argc, char *argv[])
{
    TestCustomBps tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "test_custombps.moc"
