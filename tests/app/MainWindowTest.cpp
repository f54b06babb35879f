#include "app/ErrorDisplay.h"
#include "app/LogPane.h"
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
#include <QLayout>
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

// The reader list comes from the worker: the window has started when it has arrived.
::testing::AssertionResult started(const TMainForm &form)
{
    if (QTest::qWaitFor([&form] { return form.state() != TMainForm::FormState::Starting; }))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the reader list never arrived";
}

// The design at the scale the window opens with for its font (WindowFitTest checks that scale).
int scaled(int length, double scale)
{
    return static_cast<int>(std::lround(length * scale));
}

class MainWindowControls : public testing::TestWithParam<ControlCase>
{
};

TEST_P(MainWindowControls, AreWhereTheDesignPutsThem)
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
    EXPECT_EQ(control->isEnabled(), c.enabled);
}

INSTANTIATE_TEST_SUITE_P(
        Table, MainWindowControls,
        testing::Values(ControlCase{"TopPanel", "MainForm", {}, true}, ControlCase{"Image1", "TopPanel", {}, true},
                        ControlCase{"Label1", "TopPanel", QStringLiteral("Vyčítání karet řidičů"), true},
                        ControlCase{"Bevel1", "MainForm", {}, true}, ControlCase{"PageControl1", "MainForm", {}, true},
                        ControlCase{"CardInfoLabel", "CardSheet", QStringLiteral("není vložena žádná karta"), true},
                        ControlCase{"CardHistoryLabel", "CardSheet", {}, true},
                        ControlCase{"CardReadButton", "CardSheet", QStringLiteral("Vyčíst kartu"), false},
                        ControlCase{"GroupBox1", "SettingsSheet", QStringLiteral("Čtečka karet"), true},
                        ControlCase{"ReaderCombo", "GroupBox1", {}, false},
                        ControlCase{"ReaderButton", "GroupBox1", QStringLiteral("Změnit"), true},
                        ControlCase{"GroupBox3", "SettingsSheet", QStringLiteral("Složka pro ukládání souborů"), true},
                        ControlCase{"PathButton", "GroupBox3", QStringLiteral("Vybrat..."), true},
                        ControlCase{"GroupBox2", "SettingsSheet", QStringLiteral("Připojení k serveru"), true},
                        ControlCase{"Label3", "GroupBox2", QStringLiteral("Kód firmy:"), true},
                        ControlCase{"SettingsCompanyEdit", "GroupBox2", {}, true},
                        ControlCase{"Label4", "GroupBox2", QStringLiteral("Jméno uživatele:"), true},
                        ControlCase{"SettingsUserEdit", "GroupBox2", {}, true},
                        ControlCase{"Label5", "GroupBox2", QStringLiteral("Heslo:"), true},
                        ControlCase{"SettingsPasswordEdit", "GroupBox2", {}, true},
                        ControlCase{"LogMemo", "LogSheet", {}, true}, ControlCase{"StatusBar", "MainForm", {}, true}),
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
    EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowMaximizeButtonHint);

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

// Where the design puts each control, in the window's coordinates at its opening size.
struct DesignPlace
{
    const char *name;
    QRect design;
};

std::string text(const QRect &rect)
{
    return QStringLiteral("%1,%2 %3×%4").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height()).toStdString();
}

QRect inWindow(const TMainForm &form, const QWidget *control)
{
    return QRect(control->mapTo(&form, QPoint(0, 0)), control->size());
}

TEST_F(MainWindow, KeepsTheDesignsArrangement)
{
    TMainForm form;
    ASSERT_TRUE(started(form));
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const double scale = form.layoutScale();
    // The tabs' own frame and bar are the style's: a control may stand a few pixels off.
    const int slack = scaled(8, scale);
    const DesignPlace places[] = {
            {"TopPanel", {0, 0, 417, 73}},
            {"Image1", {8, 8, 91, 57}},
            {"Bevel1", {0, 73, 417, 2}},
            {"PageControl1", {8, 88, 401, 245}},
            {"StatusBar", {0, 343, 417, 19}},
            {"CardInfoLabel", {18, 197, 377, 15}},
            {"CardReadButton", {154, 289, 105, 25}},
            {"GroupBox1", {14, 113, 385, 53}},
            {"GroupBox3", {14, 169, 385, 53}},
            {"GroupBox2", {14, 225, 385, 101}},
            {"ReaderButton", {318, 133, 73, 21}},
            {"SettingsPasswordEdit", {118, 293, 273, 21}},
    };
    for (const DesignPlace &place : places) {
        auto *control = form.findChild<QWidget *>(QLatin1String(place.name));
        ASSERT_NE(control, nullptr) << place.name;
        for (int tab = 0; tab < form.PageControl1->count(); ++tab) {
            if (form.PageControl1->widget(tab)->isAncestorOf(control))
                form.PageControl1->setCurrentIndex(tab);
        }
        form.layout()->activate();
        const QRect design(scaled(place.design.left(), scale), scaled(place.design.top(), scale),
                           scaled(place.design.width(), scale), scaled(place.design.height(), scale));
        const QRect actual = inWindow(form, control);
        const auto where = [&] {
            return std::string(place.name) + " stands at " + text(actual) + ", designed " + text(design);
        };
        EXPECT_LE(std::abs(actual.center().x() - design.center().x()), slack) << where();
        EXPECT_LE(std::abs(actual.center().y() - design.center().y()), slack) << where();
        EXPECT_LE(std::abs(actual.width() - design.width()), 2 * slack) << where();
    }
}

// The window can be enlarged and maximised: the tabs, the log and the tables take the room, the
// read button stays centred, and the status takes what the card's panel leaves.
TEST_F(MainWindow, GrowsWithTheWindow)
{
    TMainForm form;
    ASSERT_TRUE(started(form));
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    auto *panel0 = form.StatusBar->findChild<QWidget *>(QStringLiteral("StatusPanel0"));
    auto *panel1 = form.StatusBar->findChild<QWidget *>(QStringLiteral("StatusPanel1"));
    ASSERT_NE(panel0, nullptr);
    ASSERT_NE(panel1, nullptr);
    const QSize tabs = form.PageControl1->size();
    const int status = panel0->width();
    const int cardPanel = panel1->width();

    form.resize(form.size() * 2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel0->width() > status; }));
    EXPECT_GE(form.PageControl1->width(), tabs.width() * 2 - 2 * scaled(8, form.layoutScale()));
    EXPECT_GT(form.PageControl1->height(), tabs.height());
    EXPECT_GT(panel0->width(), status);
    EXPECT_EQ(panel1->width(), cardPanel);
    const QRect button = form.CardReadButton->geometry();
    EXPECT_LE(std::abs(button.center().x() - form.CardSheet->width() / 2), 1);
    form.PageControl1->setCurrentWidget(form.LogSheet);
    form.layout()->activate();
    EXPECT_GT(form.LogMemo->width(), form.LogSheet->width() * 9 / 10);
    EXPECT_GT(form.LogMemo->height(), form.LogSheet->height() * 9 / 10);
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

// A long session cannot grow the log without end: the oldest lines go, the newest stay in order.
TEST_F(MainWindow, TheLogKeepsTheNewestLines)
{
    TMainForm form;
    ASSERT_TRUE(started(form));
    const int total = LogPane::MaximumLines + LogPane::TrimStep + 7;
    for (int line = 1; line <= total; ++line)
        form.AddLog(QString::number(line));
    form.flushLog();
    const QStringList kept = form.LogMemo->toPlainText().split(u'\n');
    EXPECT_EQ(kept.size(), LogPane::MaximumLines);
    EXPECT_EQ(kept.front(), QString::number(total - LogPane::MaximumLines + 1));
    EXPECT_EQ(kept.back(), QString::number(total));
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
