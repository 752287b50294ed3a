#include "add/frmCustomBps.h"
#include "support/TestLanguage.h"

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

namespace {

QList<QRadioButton *> choicesOf(const frmCustomBps &dialog)
{
    return dialog.findChildren<QRadioButton *>(QStringLiteral("optBps"));
}

QPushButton *buttonOf(const frmCustomBps &dialog, const char *name)
{
    return dialog.findChild<QPushButton *>(QString::fromLatin1(name));
}

QString labelText(const frmCustomBps &dialog, const char *name)
{
    const QLabel *label = dialog.findChild<QLabel *>(QString::fromLatin1(name));
    return label ? label->text() : QString();
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
    void choices_data()
    {
        QTest::addColumn<int>("defaultBps");
        QTest::addColumn<int>("duration");
        QTest::addColumn<int>("current");
        QTest::addColumn<QStringList>("captions");
        QTest::addColumn<QList<bool>>("enabled");
        QTest::addColumn<int>("selected");
        const QList<bool> allEnabled{true, true, true, true, true, true};
        const QStringList steps400{"400 kbps (100%) (default)", "480 kbps (120%)", "560 kbps (140%)",
                                   "640 kbps (160%)",           "720 kbps (180%)", "800 kbps (200%)"};
        QTest::newRow("400 kbps, no custom rate") << 400 << 600 << 0 << steps400 << allEnabled << 0;
        QTest::newRow("reopened after 560") << 400 << 600 << 560 << steps400 << allEnabled << 2;
        // 1300 x 1.2 = 1560, x 1.4 = 1820: no rounding drift from 0.2 steps.
        QTest::newRow("1300 kbps") << 1300 << 300 << 2600
                                   << QStringList{"1300 kbps (100%) (default)", "1560 kbps (120%)",
                                                  "1820 kbps (140%)",           "2080 kbps (160%)",
                                                  "2340 kbps (180%)",           "2600 kbps (200%)"}
                                   << allEnabled << 5;
        // 800 kbps for five hours is 1,800,000,000 bytes; 960 kbps 2,160,000,000.
        const QStringList overLimit{"800 kbps (100%) (default)",    "960 kbps (120%) (over 2 GB)",
                                    "1120 kbps (140%) (over 2 GB)", "1280 kbps (160%) (over 2 GB)",
                                    "1440 kbps (180%) (over 2 GB)", "1600 kbps (200%) (over 2 GB)"};
        const QList<bool> firstOnly{true, false, false, false, false, false};
        QTest::newRow("five hours at 800 kbps") << 800 << 18000 << 0 << overLimit << firstOnly << 0;
    }
    void choices()
    {
        QFETCH(int, defaultBps);
        QFETCH(int, duration);
        QFETCH(int, current);
        QFETCH(QStringList, captions);
        QFETCH(QList<bool>, enabled);
        QFETCH(int, selected);
        frmCustomBps dialog(m_language, current, nullptr);
        dialog.init(defaultBps, duration);
        const QList<QRadioButton *> choices = choicesOf(dialog);
        QStringList shown;
        QList<bool> shownEnabled;
        for (const QRadioButton *choice : choices) {
            shown << choice->text();
            shownEnabled << choice->isEnabled();
        }
        QCOMPARE(shown, captions);
        QCOMPARE(shownEnabled, enabled);
        QCOMPARE(selectedIndex(dialog), selected);
    }

    void result_data()
    {
        QTest::addColumn<int>("current");
        QTest::addColumn<int>("choose");
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("accepted");
        QTest::addColumn<int>("result");
        QTest::newRow("OK on the default drops the custom rate") << 560 << 0 << "ok" << 1 << 0;
        QTest::newRow("OK on a step") << 0 << 3 << "ok" << 1 << 640;
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
        if (action == QLatin1String("ok"))
            QTest::mouseClick(buttonOf(dialog, "cmdOK"), Qt::LeftButton);
        else if (action == QLatin1String("cancel"))
            QTest::mouseClick(buttonOf(dialog, "cmdCancel"), Qt::LeftButton);
        else
            QTest::keyClick(target, Qt::Key_Return);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), accepted);
        QCOMPARE(dialog.customBps(), result);
    }

    void estimate_data()
    {
        QTest::addColumn<int>("defaultBps");
        QTest::addColumn<int>("duration");
        QTest::addColumn<int>("choose");
        QTest::addColumn<QString>("bps");
        QTest::addColumn<QString>("size");
        // 1560 kbps for 300 s: 58,500,000 bytes, 55.8 MiB.
        QTest::newRow("megabytes") << 1300 << 300 << 1 << QStringLiteral("Bit rate: about 1560 kbps")
                                   << QStringLiteral("Estimated size: 56 MB");
        // 800 kbps for five hours: 1,800,000,000 bytes, 1.68 GiB.
        QTest::newRow("gigabytes") << 800 << 18000 << 0 << QStringLiteral("Bit rate: about 800 kbps")
                                   << QStringLiteral("Estimated size: 1.68 GB");
    }
    void estimate()
    {
        QFETCH(int, defaultBps);
        QFETCH(int, duration);
        QFETCH(int, choose);
        QFETCH(QString, bps);
        QFETCH(QString, size);
        frmCustomBps dialog(m_language, 0, nullptr);
        dialog.init(defaultBps, duration);
        choicesOf(dialog).at(choose)->setChecked(true);
        QTest::mouseClick(buttonOf(dialog, "cmdSet"), Qt::LeftButton);
        QCOMPARE(labelText(dialog, "lBps"), bps);
        QCOMPARE(labelText(dialog, "lFileSize"), size);
    }

    // Writes the dialog's picture for the documentation when asked to.
    void screenshot()
    {
        const QString folder = qEnvironmentVariable("CLIPFERRY_SCREENSHOT_DIR");
        if (folder.isEmpty())
            QSKIP("CLIPFERRY_SCREENSHOT_DIR is not set");
        frmCustomBps dialog(m_language, 0, nullptr);
        dialog.init(1204 + 96, 300);
        choicesOf(dialog).at(1)->setChecked(true);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTest::mouseClick(buttonOf(dialog, "cmdSet"), Qt::LeftButton);
        QTRY_COMPARE(dialog.focusWidget(), choicesOf(dialog).at(1));
        QVERIFY(dialog.grab().save(QDir(folder).filePath(QStringLiteral("screenshot-custombps.png"))));
    }
};

int runCustomBpsTests(int argc, char *argv[])
{
    TestCustomBps tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "test_custombps.moc"
