#include "app/ErrorDisplay.h"
#include "app/MainUnit.h"
#include "card/TachoCard.h"
#include "support/CaseName.h"
#include "support/FakePcsc.h"
#include "support/ModalAnswerer.h"
#include "support/QtPrinters.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct ControlCase
{
    const char *name;
    const char *parent;
    QString text;
    QRect geometry; // an empty size: only the position is fixed
    bool enabled;
};

QString controlText(QWidget *widget)
{
    if (auto *label = qobject_cast<QLabel *>(widget))
        return label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        return button->text();
    if (auto *box = qobject_cast<QGroupBox *>(widget))
        return box->title();
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
        return edit->text();
    return {};
}

// The design at the scale the window is drawn for its font (WindowFitTest checks that scale).
int scaled(int length, double scale)
{
    return static_cast<int>(std::lround(length * scale));
}

// The reader list comes from the worker: the window has started when it has arrived.
::testing::AssertionResult started(const TMainForm &form)
{
    if (QTest::qWaitFor([&form] { return form.state() != TMainForm::FormState::Starting; }))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the reader list never arrived";
}

class MainWindowControls : public testing::TestWithParam<ControlCase>
{
};

TEST_P(MainWindowControls, StandWhereTheWindowDesignPutsThem)
{
    FakePcsc::reset();
    FakePcsc::setReaders({"Reader A 00 00", "Reader B 00 00"});
    TMainForm form;
    ASSERT_TRUE(started(form));
    const ControlCase &c = GetParam();
    auto *control = form.findChild<QWidget *>(QLatin1String(c.name));
    ASSERT_NE(control, nullptr) << c.name;
    EXPECT_EQ(control->parentWidget()->objectName(), QLatin1String(c.parent));
    EXPECT_EQ(controlText(control), c.text);
    const double scale = form.layoutScale();
    EXPECT_GE(scale, 1.0);
    EXPECT_EQ(control->pos(), QPoint(scaled(c.geometry.left(), scale), scaled(c.geometry.top(), scale)));
    if (!c.geometry.size().isEmpty()) {
        EXPECT_EQ(control->size(), QSize(scaled(c.geometry.width(), scale), scaled(c.geometry.height(), scale)));
    }
    EXPECT_EQ(control->isEnabled(), c.enabled);
}

INSTANTIATE_TEST_SUITE_P(
        Table, MainWindowControls,
        testing::Values(
                ControlCase{"TopPanel", "MainForm", {}, {0, 0, 417, 73}, true},
                ControlCase{"Image1", "TopPanel", {}, {8, 8, 91, 57}, true},
                ControlCase{"Label1", "TopPanel", QStringLiteral("Vyčítání karet řidičů"), {152, 24, 0, 0}, true},
                ControlCase{"Bevel1", "MainForm", {}, {0, 73, 417, 2}, true},
                ControlCase{"PageControl1", "MainForm", {}, {8, 88, 401, 245}, true},
                ControlCase{"CardInfoLabel",
                            "CardSheet",
                            QStringLiteral("není vložena žádná karta"),
                            {8, 84, 377, 15},
                            true},
                ControlCase{"CardHistoryLabel", "CardSheet", {}, {8, 104, 377, 15}, true},
                ControlCase{"CardReadButton", "CardSheet", QStringLiteral("Vyčíst kartu"), {144, 176, 105, 25}, false},
                ControlCase{"GroupBox1", "SettingsSheet", QStringLiteral("Čtečka karet"), {4, 0, 385, 53}, true},
                ControlCase{"ReaderCombo", "GroupBox1", {}, {8, 20, 289, 21}, false},
                ControlCase{"ReaderButton", "GroupBox1", QStringLiteral("Změnit"), {304, 20, 73, 21}, true},
                ControlCase{"GroupBox3",
                            "SettingsSheet",
                            QStringLiteral("Složka pro ukládání souborů"),
                            {4, 56, 385, 53},
                            true},
                ControlCase{"PathButton", "GroupBox3", QStringLiteral("Vybrat..."), {304, 20, 73, 21}, true},
                ControlCase{
                        "GroupBox2", "SettingsSheet", QStringLiteral("Připojení k serveru"), {4, 112, 385, 101}, true},
                ControlCase{"Label3", "GroupBox2", QStringLiteral("Kód firmy:"), {8, 24, 0, 0}, true},
                ControlCase{"SettingsCompanyEdit", "GroupBox2", {}, {104, 20, 273, 21}, true},
                ControlCase{"Label4", "GroupBox2", QStringLiteral("Jméno uživatele:"), {8, 48, 0, 0}, true},
                ControlCase{"SettingsUserEdit", "GroupBox2", {}, {104, 44, 273, 21}, true},
                ControlCase{"Label5", "GroupBox2", QStringLiteral("Heslo:"), {8, 72, 0, 0}, true},
                ControlCase{"SettingsPasswordEdit", "GroupBox2", {}, {104, 68, 273, 21}, true},
                ControlCase{"LogMemo", "LogSheet", {}, {4, 4, 385, 209}, true},
                ControlCase{"StatusBar", "MainForm", {}, {0, 343, 417, 19}, true}),
        [](const testing::TestParamInfo<ControlCase> &param) { return std::string(param.param.name); });

class MainWindow : public testing::Test
{
protected:
    void SetUp() override { FakePcsc::reset(); }
};

TEST_F(MainWindow, HasItsCaptionSizeBorderAndTabs)
{
    TMainForm form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Vyčítání karet řidičů"));
    EXPECT_EQ(form.size(), QSize(scaled(417, form.layoutScale()), scaled(362, form.layoutScale())));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);

    ASSERT_EQ(form.PageControl1->count(), 4);
    EXPECT_EQ(form.PageControl1->tabText(0), QStringLiteral("Karta"));
    EXPECT_EQ(form.PageControl1->tabText(1), QStringLiteral("Nastavení"));
    EXPECT_EQ(form.PageControl1->tabText(2), QStringLiteral("Ladící informace"));
    EXPECT_EQ(form.PageControl1->tabText(3), QStringLiteral("Historie"));
    EXPECT_EQ(form.PageControl1->currentWidget(), form.CardSheet);

    EXPECT_EQ(form.Image1->pixmap().size(), QSize(91, 57));
    EXPECT_EQ(form.Label1->font().family(), QStringLiteral("Arial"));
    EXPECT_EQ(form.SettingsPasswordEdit->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(form.SettingsPathEdit->isReadOnly());
    EXPECT_EQ(form.CardInfoLabel->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
    EXPECT_EQ(form.LogMemo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(form.LogMemo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

TEST_F(MainWindow, StatusPanelFollowsTheWindowWidth)
{
    TMainForm form;
    form.show();
    auto *panel0 = form.StatusBar->findChild<QWidget *>(QStringLiteral("StatusPanel0"));
    auto *panel1 = form.StatusBar->findChild<QWidget *>(QStringLiteral("StatusPanel1"));
    ASSERT_NE(panel0, nullptr);
    ASSERT_NE(panel1, nullptr);
    EXPECT_EQ(panel0->width(), form.width() - scaled(120, form.layoutScale()));
    EXPECT_EQ(panel1->width(), scaled(80, form.layoutScale()));
}

TEST_F(MainWindow, ReportingOperationsWriteTheirControls)
{
    TMainForm form;
    ASSERT_TRUE(started(form));
    form.SetStatus(QStringLiteral("Načítám soubor ICC..."));
    EXPECT_EQ(form.statusText(0), QStringLiteral("Načítám soubor ICC..."));
    form.SetStatus(QString());
    EXPECT_EQ(form.statusText(0), QString());

    form.SetCardInfo(QStringLiteral("JAN NOVÁK"));
    EXPECT_EQ(form.CardInfoLabel->text(), QStringLiteral("JAN NOVÁK"));
    form.SetCardInfo(QString());
    EXPECT_EQ(form.CardInfoLabel->text(), QString());
    // Card bytes are never markup.
    form.SetCardInfo(QStringLiteral("<b>JAN</b> <img src=x>"));
    EXPECT_EQ(form.CardInfoLabel->textFormat(), Qt::PlainText);

    // Lines logged while the log tab is not shown are there when it is opened.
    form.show();
    form.PageControl1->setCurrentWidget(form.CardSheet);
    form.AddLog(QStringLiteral("first"));
    form.AddLog(QString());
    QCoreApplication::processEvents();
    form.PageControl1->setCurrentWidget(form.LogSheet);
    EXPECT_EQ(form.LogMemo->toPlainText().split(u'\n'), (QStringList{"first", ""}));

    // While it is shown they appear as window events run.
    form.AddLog(QStringLiteral("third"));
    QCoreApplication::processEvents();
    EXPECT_EQ(form.LogMemo->toPlainText().split(u'\n'), (QStringList{"first", "", "third"}));
}

// The card layer's lines reach the log through the sink the window installs.
TEST_F(MainWindow, ShowsTheCardLayersLogAndTheReaders)
{
    FakePcsc::setReaders({"Reader A 00 00", "Reader B 00 00"});
    TMainForm form;
    ASSERT_TRUE(started(form));
    EXPECT_EQ(form.ReaderCombo->count(), 2);
    EXPECT_EQ(form.ReaderCombo->currentText(), QStringLiteral("Reader A 00 00"));
    EXPECT_TRUE(form.ReaderButton->isEnabled());

    TachoCard::CardLog("Card connected");
    form.PageControl1->setCurrentWidget(form.LogSheet);
    EXPECT_TRUE(QTest::qWaitFor([&form] {
        form.flushLog();
        return form.LogMemo->toPlainText().endsWith(QStringLiteral("Card connected"));
    }));
}

TEST_F(MainWindow, SingleReaderCannotBeChanged)
{
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Merkalo");
    QDir().mkpath(folder);
    QFile settings(folder + QStringLiteral("/Korvan.ini"));
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly | QIODevice::Truncate));
    settings.write("[Settings]\nCardReader=Other Reader 00 00\n");
    settings.close();

    FakePcsc::setReaders({"Only Reader 00 00"});
    TMainForm form;
    ASSERT_TRUE(started(form));
    EXPECT_EQ(form.ReaderCombo->currentText(), QStringLiteral("Only Reader 00 00"));
    EXPECT_FALSE(form.ReaderButton->isEnabled());
    EXPECT_FALSE(form.ReaderCombo->isEnabled());
    QFile::remove(settings.fileName());
}

TEST_F(MainWindow, OpensWithoutReaderService)
{
    FakePcsc::setEstablishResult(static_cast<LONG>(SCARD_E_NO_SERVICE));
    TMainForm form;
    ASSERT_TRUE(started(form));
    EXPECT_EQ(form.CardInfoLabel->text(), QStringLiteral("čtečka nenalezena"));
    EXPECT_FALSE(form.ReaderCombo->isEnabled());
    EXPECT_FALSE(form.ReaderButton->isEnabled());
    form.PageControl1->setCurrentWidget(form.LogSheet);
    EXPECT_EQ(form.LogMemo->toPlainText(), QStringLiteral("The smart card resource manager is not running."));
}

struct FullStopCase
{
    const char *name;
    QString message;
    QString shown;
};

class ErrorDisplay : public testing::TestWithParam<FullStopCase>
{
};

TEST_P(ErrorDisplay, AddsAFullStopAfterCharactersAboveIt)
{
    EXPECT_EQ(ErrorDisplayText(GetParam().message), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
        Table, ErrorDisplay,
        testing::Values(FullStopCase{"Letter", "Disk full", "Disk full."},
                        FullStopCase{"Digit", "I/O error 5", "I/O error 5."}, FullStopCase{"Slash", "a/", "a/."},
                        FullStopCase{"CzechLetter", QStringLiteral("soubor č"), QStringLiteral("soubor č.")},
                        FullStopCase{"FullStop", "done.", "done."}, FullStopCase{"Hyphen", "a-", "a-"},
                        FullStopCase{"Comma", "a,", "a,"}, FullStopCase{"Space", "a ", "a "},
                        FullStopCase{"Empty", "", ""}),
        CaseName());

TEST(ErrorDisplayBox, ShowsWhatAHandlerThrowsAndCarriesOn)
{
    ModalAnswerer user;
    bool after = false;
    runGuarded([] { throw ApplicationError(QStringLiteral("Unable to write to /tmp/x/Korvan.ini")); });
    runGuarded([] { throw std::bad_alloc(); });
    runGuarded([&] { after = true; });
    EXPECT_TRUE(after);
    EXPECT_EQ(user.texts(), (QStringList{"Unable to write to /tmp/x/Korvan.ini.", "Out of memory."}));
    EXPECT_EQ(user.titles(), (QStringList{"Vyčítání karet řidičů", "Vyčítání karet řidičů"}));
    EXPECT_EQ(user.icons(), (QList<QMessageBox::Icon>{QMessageBox::Critical, QMessageBox::Critical}));
}

} // namespace
