#include "app/OpenDirDialog.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <functional>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

// Runs the action once the dialog's modal loop runs. A dialog that did not close within the time
// is rejected, so a fault fails the test instead of hanging it.
void driveDialog(QFileDialog *dialog, std::function<void(QFileDialog *)> action, bool *timedOut)
{
    QTimer::singleShot(0, dialog, [dialog, action] { action(dialog); });
    QTimer::singleShot(10000, dialog, [dialog, timedOut] {
        *timedOut = true;
        dialog->reject();
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
        chooser->setOptionsEx(odxShowExtendDlg);
        chooser->setPath(expand(openOn));
        int created = 0;
        bool timedOut = false;
        chooser->setOnCreate([&](TOpenDirDialog *Sender) {
            ++created;
            QVERIFY(Sender->Handle());
            driveDialog(
                    Sender->Handle(), [&](QFileDialog *dialog) { enterName(dialog, expand(typed), Qt::Key(key)); },
                    &timedOut);
            QCOMPARE(Sender, chooser);
            QCOMPARE(Sender->Handle()->windowTitle(), u"Složka pro ukládání souborů"_s);
            QVERIFY(Sender->Handle()->testOption(QFileDialog::ShowDirsOnly));
        });

        QCOMPARE(chooser->Execute(), confirmed);
        QVERIFY(!timedOut);
        QCOMPARE(created, 1);
        QCOMPARE(chooser->Path(), expand(chosen));
        // The dialog outlives its Execute, closed.
        QVERIFY(chooser->Handle());
        QVERIFY(!chooser->Handle()->isVisible());
    }

    void reportsFolderChanges()
    {
        TOpenDirDialog chooser(m_owner.get());
        chooser.setPath(m_dir->filePath(u"sub"_s));
        QStringList changes;
        bool timedOut = false;
        chooser.setOnCreate([&](TOpenDirDialog *Sender) {
            driveDialog(
                    Sender->Handle(),
                    [&](QFileDialog *dialog) {
                        auto *up = dialog->findChild<QToolButton *>(u"toParentButton"_s);
                        QVERIFY(up);
                        up->click();
                        enterName(dialog, u"other"_s, Qt::Key_Return);
                    },
                    &timedOut);
        });
        chooser.setOnChange([&](TOpenDirDialog *Sender, const QString &Path) {
            QCOMPARE(Sender, &chooser);
            changes << Path;
        });

        QVERIFY(chooser.Execute());
        QVERIFY(!timedOut);
        QVERIFY2(changes.contains(m_dir->path()), qPrintable(changes.join(u", "_s)));
        QCOMPARE(chooser.Path(), m_dir->filePath(u"other"_s));
    }

    void browseFlags_data()
    {
        QTest::addColumn<TOpenDirOptions>("options");
        QTest::addColumn<TOpenDirOptionsEx>("optionsEx");
        QTest::addColumn<quint32>("flags");
        QTest::addRow("none") << TOpenDirOptions() << TOpenDirOptionsEx() << 0u;
        QTest::addRow("main window's chooser") << TOpenDirOptions() << TOpenDirOptionsEx(odxShowExtendDlg) << 0x0050u;
        QTest::addRow("folders only") << TOpenDirOptions(odShowDir) << TOpenDirOptionsEx() << 0x0001u;
        QTest::addRow("all") << (odShowDir | odShowComputer | odShowPrinter | odShowFiles)
                             << TOpenDirOptionsEx(odxShowExtendDlg) << 0x7051u;
    }

    void browseFlags()
    {
        QFETCH(TOpenDirOptions, options);
        QFETCH(TOpenDirOptionsEx, optionsEx);
        QFETCH(quint32, flags);
        TOpenDirDialog chooser(m_owner.get());
        QCOMPARE(chooser.BrowseFlags(), 0u);
        chooser.setOptions(options);
        chooser.setOptionsEx(optionsEx);
        QCOMPARE(chooser.BrowseFlags(), flags);
        QCOMPARE(chooser.Options(), options);
        QCOMPARE(chooser.OptionsEx(), optionsEx);
    }

    void lastDirDialogFollowsCreationAndEnd()
    {
        auto *first = new TOpenDirDialog(m_owner.get());
        QCOMPARE(LastDirDialog, first);
        {
            TOpenDirDialog second(m_owner.get());
            QCOMPARE(LastDirDialog, &second);
        }
        QCOMPARE(LastDirDialog, nullptr);
        m_owner.reset(); // the owner takes its chooser with it
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QWidget> m_owner;
};

QTEST_MAIN(OpenDirDialogTest)
#include "OpenDirDialogTest.moc"
