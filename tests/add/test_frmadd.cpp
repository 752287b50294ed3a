#include "AddTests.h"
#include "add/frmAdd.h"
#include "add/frmCustomBps.h"
#include "common/Settings.h"
#include "pipeline/Session.h"
#include "recorder/SampleRecording.h"
#include "server/FolderPickerWidget.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QString kSection = u"frmAdd"_qs;

// One dialog over its own queue, as the main window opens it.
struct Rig
{
    Session session;
    std::shared_ptr<Messages::RecordingPresenter::Log> messages = session.messages().record();
    ServerAccess &access = session.access();
    QueueModel &queue = session.queue();
    std::unique_ptr<frmAdd> dialog;

    frmAdd &open()
    {
        dialog = std::make_unique<frmAdd>(session);
        dialog->show();
        return *dialog;
    }
    template <typename T> T *child(const QString &name) const { return dialog->findChild<T *>(name); }
    QString label(const QString &name) const { return child<QLabel>(name)->text(); }
    QRadioButton *option(const QString &name) const { return child<QRadioButton>(name); }
    QPushButton *button(const QString &name) const { return child<QPushButton>(name); }
};

} // namespace

class TestAddDialog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ServerProcess> m_server;
    const LanguageTable m_language{languageFile()};
    Messages::Channel m_channel;
    QString m_clip720;

    QString text(const QString &key) const { return m_language.text(kSection, key); }

    void startLogIn(Rig &rig, const QString &server = {})
    {
        rig.child<QLineEdit>(u"txtServer"_qs)->setText(server.isEmpty() ? m_server->address() : server);
        rig.child<QLineEdit>(u"txtAccount"_qs)->setText(u"demo"_qs);
        rig.child<QLineEdit>(u"txtPassword"_qs)->setText(u"demo"_qs);
        QTest::mouseClick(rig.button(u"cmdLogIn"_qs), Qt::LeftButton);
    }
    bool logIn(Rig &rig, const QString &server = {})
    {
        startLogIn(rig, server);
        return QTest::qWaitFor([&] { return rig.button(u"cmdBrowse"_qs)->isEnabled(); }, 60000);
    }

    bool choose(Rig &rig, const QString &path)
    {
        QCoro::waitFor(rig.dialog->chooseSource(path));
        return rig.button(u"cmdOK"_qs)->isEnabled();
    }
    // A new dialog, logged in, with `path` chosen; whether OK may be pressed.
    bool openWith(Rig &rig, const QString &path)
    {
        rig.open();
        return logIn(rig) && choose(rig, path);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_server = std::make_unique<ServerProcess>(m_dir.filePath(u"server"_qs));
        QVERIFY(m_server->start({u"--demo"_qs}));
        // The widths of the usual three-step server.
        QVERIFY(!m_server->admin({u"setting"_qs, u"set"_qs, u"resolution"_qs, u"1920,1024,640"_qs}).isNull());
        m_clip720 = m_dir.filePath(u"talk.mp4"_qs);
        QCOMPARE(makeVideo(m_clip720, 2, {1280, 720}, 5), QString());
    }

    // 1280x720 on a 1024/640 server: every resolution, with its size, rates and suffix.
    void videoOnNewServer()
    {
        Rig rig;
        rig.open();
        QVERIFY(QTest::qWaitForWindowExposed(rig.dialog.get()));
        const QSize opened = rig.dialog->size();
        QVERIFY(!rig.button(u"cmdBrowse"_qs)->isEnabled()); // only after a login
        QVERIFY(logIn(rig));
        QVERIFY(choose(rig, m_clip720));
        // Loading the file fills the captions without moving the dialog's edges.
        QTest::qWait(50);
        QCOMPARE(rig.dialog->size(), opened);
        QCOMPARE(rig.child<QLineEdit>(u"txtTitle"_qs)->text(), u"talk"_qs);
        QCOMPARE(rig.label(u"lSrcSize"_qs), text(u"lSrcSize"_qs) + u" 1280x720 "_qs);
        QCOMPARE(rig.option(u"optSrcRes"_qs)->text(), text(u"optSrcRes"_qs) + u" (1280x720)"_qs);
        QCOMPARE(rig.option(u"optHiRes"_qs)->text(), text(u"optHiRes"_qs) + u" (1024x576)"_qs);
        QCOMPARE(rig.option(u"optStdRes"_qs)->text(), text(u"optStdRes"_qs) + u" (640x360)"_qs);
        for (const QString &name : {u"optSrcRes"_qs, u"optHiRes"_qs, u"optStdRes"_qs, u"optLocalCvt"_qs,
                                    u"optServerCvt"_qs, u"optNoCvtForMp4"_qs})
            QVERIFY2(rig.option(name)->isEnabled(), qPrintable(name));
        QVERIFY(rig.option(u"optStdRes"_qs)->isChecked());
        QCOMPARE(rig.label(u"lDstSize"_qs), text(u"lDstSize"_qs) + u"  640x360 "_qs);
        QCOMPARE(rig.label(u"lBps"_qs), text(u"lBps"_qs) + u"   650 kbps"_qs);

        QTest::mouseClick(rig.option(u"optHiRes"_qs), Qt::LeftButton);
        QCOMPARE(rig.label(u"lDstSize"_qs), text(u"lDstSize"_qs) + u"  1024x576 "_qs);
        QCOMPARE(rig.label(u"lBps"_qs), text(u"lBps"_qs) + u"   1300 kbps"_qs);
        // 1300 kbps for two seconds.
        QCOMPARE(rig.label(u"lFileSize"_qs), text(u"lFileSize"_qs) + u"   0 MB"_qs);

        QTest::mouseClick(rig.button(u"cmdOK"_qs), Qt::LeftButton);
        QTRY_VERIFY(!rig.dialog->isVisible());
        QCOMPARE(rig.dialog->result(), int(QDialog::Accepted));
        const CVideoItem *item = rig.queue.item(m_clip720);
        QVERIFY(item);
        const auto n = [](qint64 value) { return QString::number(value); };
        QCOMPARE((QStringList{item->title, n(item->videoWidth), n(item->videoHeight), n(item->srcVideoWidth),
                              item->vBitRate, item->aBitRate, item->dstPostfix, n(item->dstResType),
                              item->contentID, item->Url, n(item->useTmpName), n(item->bInterlaced),
                              n(item->secDuration), n(item->fileSize)}),
                 (QStringList{u"talk"_qs, u"1024"_qs, u"576"_qs, u"1280"_qs, u"1204k"_qs, u"96k"_qs, u"hd"_qs,
                              u"1"_qs, u"0"_qs, m_server->address(), u"1"_qs, u"0"_qs, u"2"_qs,
                              n(QFileInfo(m_clip720).size())}));
        QVERIFY(!item->folderID.isEmpty() && !item->dateLastModified.isEmpty());
        QCOMPARE(rig.queue.rowCount(), 1);
        QCOMPARE(rig.queue.entryAt(0).state, EntryState::Waiting);
        QCOMPARE(ReadSetting(Settings::kSection, u"folderID"_qs, {}), item->folderID);

        // The next dialog starts from the cached folder list and refuses a queued file.
        rig.open();
        QVERIFY(rig.button(u"cmdBrowse"_qs)->isEnabled());
        QCOMPARE(rig.button(u"cmdLogIn"_qs)->text(), text(u"cmdRefresh"_qs));
        QCOMPARE(rig.label(u"lStatus"_qs), QString());
        QVERIFY(!choose(rig, m_clip720));
        QCOMPARE(rig.messages->messages.last().text, text(u"msg_hasBeenAdded"_qs));
        QCOMPARE(rig.messages->messages.last().title, u"Add Video"_qs);
    }

    // Above 2 GiB a choice is refused and the previous one stays.
    void sizeLimits()
    {
        const QString wide = m_dir.filePath(u"wide.mp4"_qs);
        QCOMPARE(makeVideo(wide, 1, {1920, 1080}, 5), QString());
        // The clock slowed 7000 times: 93 minutes made at once, some 2.7 GiB at 4200 kbps.
        const QString longSource = m_dir.filePath(u"long.mp4"_qs);
        QVERIFY(runProgram(u"ffmpeg"_qs, {u"-v"_qs, u"error"_qs, u"-itsscale"_qs, u"7000"_qs, u"-i"_qs, wide,
                                          u"-an"_qs, u"-c"_qs, u"copy"_qs, longSource})
                    .exitCode == 0);
        const QString large = m_dir.filePath(u"large.mp4"_qs);
        QVERIFY(QFile::copy(wide, large));
        QVERIFY(QFile(large).resize(2200LL * 1024 * 1024)); // sparse: the disk is not filled
        const struct
        {
            QString source, option, message, kept;
        } cases[] = {
            {longSource, u"optSrcRes"_qs, u"msg_exceed2GB"_qs, u"optStdRes"_qs},
            {large, u"optServerCvt"_qs, u"msg_srcExceed2GB"_qs, u"optLocalCvt"_qs},
        };
        for (const auto &c : cases) {
            Rig rig;
            QVERIFY(openWith(rig, c.source));
            const int before = int(rig.messages->messages.size());
            QTest::mouseClick(rig.option(c.option), Qt::LeftButton);
            QVERIFY(rig.option(c.kept)->isChecked());
            QCOMPARE(rig.messages->messages.size(), before + 1);
            const QString said = rig.messages->messages.last().text;
            QVERIFY2(said.startsWith(text(c.message).left(text(c.message).indexOf(u"%s"_qs))) &&
                         !said.contains(u"%s"_qs) && said.contains(u"GB"_qs),
                     qPrintable(said));
            QFile::remove(c.source);
        }
    }

    // The step chosen through the custom bit-rate link becomes the rate.
    void customBitRate()
    {
        Rig rig;
        QVERIFY(openWith(rig, m_clip720));
        QPushButton *link = rig.button(u"lCustomBps"_qs);
        QVERIFY(link->isEnabled());
        QTimer::singleShot(0, rig.dialog.get(), [&] {
            auto *bps = rig.dialog->findChild<frmCustomBps *>();
            QVERIFY(bps);
            const QList<QRadioButton *> steps = bps->findChildren<QRadioButton *>(u"optBps"_qs);
            QCOMPARE(steps.size(), 6);
            steps.at(1)->click(); // 120 % of 650
            bps->findChild<QPushButton *>(u"cmdOK"_qs)->click();
        });
        QTest::mouseClick(link, Qt::LeftButton);
        QTRY_COMPARE(rig.label(u"lBps"_qs), text(u"lBps"_qs) + u"   780 kbps"_qs);
        // Server conversion keeps it; going back to local drops it.
        QTest::mouseClick(rig.option(u"optServerCvt"_qs), Qt::LeftButton);
        QVERIFY(!link->isEnabled());
        QTest::mouseClick(rig.option(u"optLocalCvt"_qs), Qt::LeftButton);
        QCOMPARE(rig.label(u"lBps"_qs), text(u"lBps"_qs) + u"   650 kbps"_qs);
    }

    void closingRefusedWhileFolderListIsAwaited()
    {
        Rig rig;
        rig.open();
        startLogIn(rig);
        QCOMPARE(rig.dialog->busyState(), frmAdd::WaitingForFolders);
        QVERIFY(!rig.button(u"cmdCancel"_qs)->isEnabled());
        rig.dialog->reject();
        QVERIFY(rig.dialog->isVisible());
        QCOMPARE(rig.messages->messages.last().text, text(u"msg_ExitOnGetFolder"_qs));
        QTRY_VERIFY_WITH_TIMEOUT(rig.button(u"cmdCancel"_qs)->isEnabled(), 60000);
        rig.dialog->reject();
        QVERIFY(!rig.dialog->isVisible());
    }

    // Overwrite-by-URL swaps the folder for a document address on the same server.
    void overwriteByUrl()
    {
        Rig rig;
        rig.open();
        QVERIFY(logIn(rig));
        QPushButton *mode = rig.button(u"lOverwriteMode"_qs);
        QVERIFY(mode->isVisible());
        QCOMPARE(mode->text(), text(u"lOverwriteMode"_qs));
        QVERIFY(choose(rig, m_clip720));
        QTest::mouseClick(mode, Qt::LeftButton);
        QCOMPARE(mode->text(), text(u"lBasicMode"_qs));
        auto *url = rig.child<QLineEdit>(u"txtDocUrl"_qs);
        QVERIFY(url->isVisible());
        QCOMPARE(url->placeholderText(), text(u"lDocUrlHint"_qs));
        QVERIFY(!rig.dialog->findChild<FolderPickerWidget *>()->isVisible());

        url->setText(u"http://elsewhere.example/media/7"_qs);
        QTest::mouseClick(rig.button(u"cmdOK"_qs), Qt::LeftButton);
        QVERIFY(rig.dialog->isVisible());
        QCOMPARE(rig.messages->messages.last().text, text(u"msgServer_DocUrl_diff"_qs));

        url->setText(u"http://"_qs + m_server->address() + u"/media/7"_qs);
        QTest::mouseClick(rig.button(u"cmdOK"_qs), Qt::LeftButton);
        QTRY_VERIFY(!rig.dialog->isVisible());
        QCOMPARE(rig.queue.item(m_clip720)->OverwriteUrl, url->text());
    }

    // Login selects the last folder; OK needs a good last login and a folder taking uploads.
    void okNeedsLoginAndFolder()
    {
        for (const bool bareServer : {false, true}) {
            ServerProcess bare(m_dir.filePath(u"bare"_qs));
            if (bareServer) {
                QVERIFY(bare.start());
                QVERIFY(!bare.admin({u"account"_qs, u"add"_qs, u"demo"_qs, u"demo"_qs}).isNull());
                QVERIFY(!bare.admin({u"folder"_qs, u"add"_qs, u"0"_qs, u"Closed"_qs, u"--no-upload"_qs})
                             .isNull());
            }
            WriteSetting(Settings::kSection, u"folderID"_qs, u"9"_qs); // Inbox
            Rig rig;
            rig.open();
            QVERIFY(logIn(rig, bareServer ? bare.address() : QString()));
            QCOMPARE(choose(rig, m_clip720), !bareServer);
            if (!bareServer) {
                QCOMPARE(rig.dialog->findChild<FolderPickerWidget *>()->folderId(), u"9"_qs);
                QCOMPARE(ReadSetting(Settings::kSection, u"folderID"_qs, {}), u"9"_qs);
                QVERIFY(!m_server->admin({u"account"_qs, u"disable"_qs, u"demo"_qs}).isNull());
                QTest::mouseClick(rig.button(u"cmdLogIn"_qs), Qt::LeftButton);
                QTRY_COMPARE_WITH_TIMEOUT(rig.dialog->busyState(), frmAdd::Idle, 60000);
                QVERIFY(!m_server->admin({u"account"_qs, u"enable"_qs, u"demo"_qs}).isNull());
                QVERIFY(!rig.button(u"cmdBrowse"_qs)->isEnabled());
            }
            QVERIFY(!rig.button(u"cmdOK"_qs)->isEnabled());
        }
    }

    // Edit mode restores the entry's choices; Cancel gives the row its state back.
    void editAndCancel()
    {
        Rig rig;
        QVERIFY(openWith(rig, m_clip720));
        QTest::mouseClick(rig.option(u"optServerCvt"_qs), Qt::LeftButton);
        QTest::mouseClick(rig.option(u"optSrcRes"_qs), Qt::LeftButton);
        rig.child<QLineEdit>(u"txtAuthor"_qs)->setText(u"Ada"_qs);
        QTest::mouseClick(rig.button(u"cmdOK"_qs), Qt::LeftButton);
        QTRY_VERIFY(!rig.dialog->isVisible());

        rig.queue.SetEntryState(m_clip720, EntryState::Failed);
        rig.queue.beginEdit(m_clip720);
        rig.access.loggedIn = false;
        rig.open();
        QCOMPARE(rig.dialog->windowTitle(), text(u"frmEdit"_qs));
        QTRY_VERIFY_WITH_TIMEOUT(rig.button(u"cmdOK"_qs)->isEnabled(), 60000);
        QCOMPARE(rig.child<QLineEdit>(u"txtAuthor"_qs)->text(), u"Ada"_qs);
        QVERIFY(rig.option(u"optServerCvt"_qs)->isChecked());
        QVERIFY(rig.option(u"optSrcRes"_qs)->isChecked());
        // Its own path is not a duplicate of itself.
        QVERIFY(choose(rig, m_clip720));
        QTest::mouseClick(rig.button(u"cmdCancel"_qs), Qt::LeftButton);
        QVERIFY(!rig.dialog->isVisible());
        QCOMPARE(rig.queue.entryAt(0).state, EntryState::Failed);
    }

    // A project gives title and author; a changed title is written back on OK.
    void recordingProject()
    {
        const SampleRecordingResult made = QCoro::waitFor(
            makeSampleRecording(testProcesses(), m_dir.filePath(u"lecture"_qs), SampleRecordingOptions{}));
        CProjectFile before(m_language, m_channel);
        QVERIFY(before.Load(made.path, true));

        Rig rig;
        QVERIFY(openWith(rig, made.path));
        auto *title = rig.child<QLineEdit>(u"txtTitle"_qs);
        QCOMPARE(title->text(), before.title);
        QVERIFY(!rig.option(u"optLocalCvt"_qs)->isEnabled()); // a recording is not converted
        title->setText(u"Week one, revised"_qs);
        QTest::mouseClick(rig.button(u"cmdOK"_qs), Qt::LeftButton);
        QTRY_VERIFY(!rig.dialog->isVisible());
        QCOMPARE(rig.queue.item(made.path)->title, u"Week one, revised"_qs);
        CProjectFile after(m_language, m_channel);
        QVERIFY(after.Load(made.path, true));
        QCOMPARE(after.title, u"Week one, revised"_qs);

        // Damaged, it names the step that failed before it is refused.
        QString xml = QString::fromUtf8(readFile(made.path));
        xml.replace(QRegularExpression(u"(<index[^>]*) duration=\"[^\"]*\""_qs), u"\\1"_qs);
        writeFile(made.path, xml.toUtf8());
        Rig other;
        QVERIFY(!openWith(other, made.path));
        QCOMPARE(other.messages->messages.size(), 2);
        QCOMPARE(other.messages->messages.at(0).text,
                 m_language.text(u"frmCommon"_qs, u"msgQvpError"_qs) + u" index.duration"_qs);
        QCOMPARE(other.messages->messages.at(1).text,
                 m_language.text(u"frmCommon"_qs, u"msgUnsupportQvpVer"_qs).replace(u"%s"_qs, u"8"_qs));
    }
};

int runAddDialogTests(int argc, char *argv[])
{
    TestAddDialog tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "test_frmadd.moc"
