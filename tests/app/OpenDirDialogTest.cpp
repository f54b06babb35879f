#include "app/OpenDirDialog.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

// Runs the action on the owner's folder dialog once its modal loop runs. A dialog that did not
// close within the time is rejected, so a fault fails the test instead of hanging it.
void driveDialog(QWidget *owner, std::function<void(QFileDialog *)> action, bool *timedOut)
{
    QTimer::singleShot(0, owner, [owner, action] {
        auto *dialog = owner->findChild<QFileDialog *>();
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        action(dialog);
    });
    QTimer::singleShot(10000, owner, [owner, timedOut] {
        if (auto *dialog = owner->findChild<QFileDialog *>()) {
            *timedOut = true;
            dialog->reject();
        }
    });
}

// Puts a name into the dialog's file name edit, as a paste would (typed keys meet the dialog's
// inline completion, which would make the outcome depend on the folder's listing), then presses
// the key.
void enterName(QFileDialog *dialog, const QString &name, Qt::Key key)
{
    auto *edit = dialog->findChild<QLineEdit *>(u"fileNameEdit"_s);
    QVERIFY(edit);
    edit->setText(name);
    QTest::keyClick(edit, key);
}

} // namespace

class OpenDirDialogTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QVERIFY(QDir(m_dir->path()).mkpath(u"sub"_s));
        QVERIFY(QDir(m_dir->path()).mkpath(u"other"_s));
        m_owner = std::make_unique<QWidget>();
    }
    void cleanup() { m_owner.reset(); }

    void execute_data()
    {
        QTest::addColumn<QString>("openOn");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<QString>("chosen");
        // {tmp} stands for the test's temporary folder.
        QTest::addRow("sub-folder") << u"{tmp}"_s << u"sub"_s << int(Qt::Key_Return) << true << u"{tmp}/sub"_s;
        QTest::addRow("the folder it opened on")
                << u"{tmp}/sub"_s << QString() << int(Qt::Key_Return) << true << u"{tmp}/sub"_s;
        QTest::addRow("trailing separator dropped")
                << u"{tmp}/sub"_s << u"{tmp}/other/"_s << int(Qt::Key_Return) << true << u"{tmp}/other"_s;
        QTest::addRow("root keeps its separator") << u"{tmp}"_s << u"/"_s << int(Qt::Key_Return) << true << u"/"_s;
        QTest::addRow("Path that is no folder")
                << u"{tmp}/missing"_s << u"{tmp}/sub"_s << int(Qt::Key_Return) << true << u"{tmp}/sub"_s;
        QTest::addRow("cancelled") << u"{tmp}"_s << u"sub"_s << int(Qt::Key_Escape) << false << u"{tmp}"_s;
    }

    void execute()
    {
        QFETCH(QString, openOn);
        QFETCH(QString, typed);
        QFETCH(int, key);
        QFETCH(bool, confirmed);
        QFETCH(QString, chosen);
        const auto expand = [this](QString text) {
            return text.replace(u"{tmp}"_s, m_dir->path());
        };

        auto *chooser = new TOpenDirDialog(m_owner.get());
        chooser->setTitle(u"Složka pro ukládání souborů"_s);
        chooser->setPath(expand(openOn));
        bool timedOut = false;
        driveDialog(
                m_owner.get(),
                [&](QFileDialog *dialog) {
                    QCOMPARE(dialog->windowTitle(), u"Složka pro ukládání souborů"_s);
                    QCOMPARE(dialog->fileMode(), QFileDialog::Directory);
                    QVERIFY(dialog->testOption(QFileDialog::ShowDirsOnly));
                    enterName(dialog, expand(typed), Qt::Key(key));
                },
                &timedOut);

        QCOMPARE(chooser->Execute(), confirmed);
        QVERIFY(!timedOut);
        QCOMPARE(chooser->Path(), expand(chosen));
        QVERIFY(!m_owner->findChild<QFileDialog *>());
    }

    // A termination closes the open chooser: Execute returns as for a cancel, so its loop keeps
    // nothing alive; a second close finds nothing to do.
    void closeEndsTheOpenDialogAsACancel()
    {
        TOpenDirDialog chooser(m_owner.get());
        chooser.setPath(m_dir->path());
        bool timedOut = false;
        bool nestedRefused = false;
        driveDialog(
                m_owner.get(),
                [&](QFileDialog *) {
                    nestedRefused = !chooser.Execute();
                    chooser.close();
                },
                &timedOut);

        QVERIFY(!chooser.Execute());
        QVERIFY(!timedOut);
        QVERIFY(nestedRefused);
        QCOMPARE(chooser.Path(), m_dir->path());
        QVERIFY(!m_owner->findChild<QFileDialog *>());
        chooser.close();
    }

    // The owner may go while the dialog is open (a window that closes): Execute returns false.
    void ownerGoneWhileOpen()
    {
        auto *chooser = new TOpenDirDialog(m_owner.get());
        bool timedOut = false;
        driveDialog(
                m_owner.get(), [&](QFileDialog *) { QTimer::singleShot(0, [this] { m_owner.reset(); }); }, &timedOut);
        QVERIFY(!chooser->Execute());
        QVERIFY(!timedOut);
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QWidget> m_owner;
};
QTEST_MAIN(OpenDirDialogTest)
#include "OpenDirDialogTest.moc"
