// Every text of the window readable in full, whatever the font and the display scaling: each
// control's text measured against the room its style gives it. Run once per scaling factor
// (QT_SCALE_FACTOR, set by CTest); each run tries the desktop's default font and larger ones.
#include "app/MainUnit.h"
#include "support/FakePcsc.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// The longest texts the status bar, the card panel and the card label show.
const QStringList StatusTexts{
        QStringLiteral("Čtení karty dokončeno, soubor byl odeslán na server"),
        QStringLiteral("Odeslání souboru na server selhalo: chybné přihlašovací údaje"),
        QStringLiteral("Nelze odeslat soubor na server, chybí přihlašovací údaje"),
        QStringLiteral("Chyba při načítání: není vložena tachografová karta"),
        QStringLiteral("Čtení karty neúplné, nepodařilo se načíst soubor Control Activity Data"),
        QStringLiteral("Služba čipových karet není dostupná"),
        QStringLiteral("Čtečka karet byla odpojena"),
};
const QStringList CardPanelTexts{QStringLiteral("Karta připojena"), QStringLiteral("Karta vložena")};
const QStringList CardInfoTexts{QStringLiteral("není vložena žádná karta"),
                                QStringLiteral("vložená karta nebyla rozpoznána"), QStringLiteral("čtečka nenalezena"),
                                QStringLiteral("TOMÁŠ NĚMEC")};

struct FontCase
{
    const char *name;
    int pointSize; // 0: the desktop's default font as it is
};

class WindowFit : public testing::TestWithParam<FontCase>
{
protected:
    void SetUp() override
    {
        FakePcsc::reset();
        FakePcsc::setReaders({"Korvan Reader 00 00", "Korvan Reader 00 01"});
        defaultFont = QApplication::font();
        QFont font = defaultFont;
        if (GetParam().pointSize > 0)
            font.setPointSize(GetParam().pointSize);
        QApplication::setFont(font);
        form = std::make_unique<TMainForm>();
        form->SettingsPathEdit->setText(QDir::homePath() + QStringLiteral("/Dokumenty"));
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        ASSERT_TRUE(QTest::qWaitFor([this] { return form->state() != TMainForm::FormState::Starting; }));
    }
    void TearDown() override
    {
        form.reset();
        QApplication::setFont(defaultFont);
    }

    // Shows each tab in turn, so that its controls are laid out, and checks them.
    void checkEveryTab(const std::function<void(QWidget *)> &check)
    {
        for (int tab = 0; tab < form->PageControl1->count(); ++tab) {
            form->PageControl1->setCurrentIndex(tab);
            QCoreApplication::processEvents();
            check(form->PageControl1->widget(tab));
        }
    }

    QFont defaultFont;
    std::unique_ptr<TMainForm> form;
};

::testing::AssertionResult fits(const QWidget *widget, const QString &text, const QRect &room)
{
    const QFontMetrics metrics = widget->fontMetrics();
    const int wanted = metrics.horizontalAdvance(text);
    if (wanted > room.width() || metrics.height() > room.height())
        return ::testing::AssertionFailure()
                << widget->objectName().toStdString() << ": \"" << text.toStdString() << "\" needs " << wanted << "×"
                << metrics.height() << ", has " << room.width() << "×" << room.height();
    return ::testing::AssertionSuccess();
}

// The whole control lies within its parent: nothing of it is cut off.
::testing::AssertionResult inside(const QWidget *widget)
{
    if (!widget->parentWidget()->rect().contains(widget->geometry()))
        return ::testing::AssertionFailure() << widget->objectName().toStdString() << " is cut off by its parent";
    return ::testing::AssertionSuccess();
}

TEST_P(WindowFit, EveryTextFitsItsControl)
{
    SCOPED_TRACE("scale " + qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1")).toStdString() + ", font "
                 + form->font().family().toStdString() + " " + std::to_string(form->font().pointSize()) + " pt");
    EXPECT_GE(form->width(), 417);
    EXPECT_GE(form->height(), 362);
    EXPECT_NEAR(form->width() / static_cast<double>(form->height()), 417.0 / 362.0, 0.01);

    checkEveryTab([this](QWidget *page) {
        for (QLabel *label : page->findChildren<QLabel *>()) {
            // A hidden label's size is stale; a wrapped one must have the height its lines take.
            if (!label->isVisibleTo(page))
                continue;
            if (label->wordWrap()) {
                EXPECT_LE(label->heightForWidth(label->width()), label->height()) << label->objectName().toStdString();
            } else {
                EXPECT_TRUE(fits(label, label->text(), label->contentsRect()));
            }
        }
        for (QPushButton *button : page->findChildren<QPushButton *>()) {
            QStyleOptionButton option;
            option.initFrom(button);
            const QRect room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
            EXPECT_TRUE(fits(button, button->text().remove(u'&'), room));
        }
        for (QGroupBox *box : page->findChildren<QGroupBox *>()) {
            QStyleOptionGroupBox option;
            option.initFrom(box);
            option.text = box->title();
            option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
            const QRect title =
                    box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
            EXPECT_TRUE(fits(box, box->title(), title));
            EXPECT_TRUE(box->rect().contains(title)) << box->objectName().toStdString();
            for (QWidget *child : box->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
                EXPECT_GE(child->y(), title.bottom()) << child->objectName().toStdString() << " covers the title";
        }
        for (QLineEdit *edit : page->findChildren<QLineEdit *>()) {
            const QRect room = edit->contentsRect() - edit->textMargins() - QMargins(2, 1, 2, 1);
            EXPECT_TRUE(fits(edit, edit->displayText(), room));
            EXPECT_GE(edit->height(), edit->minimumSizeHint().height()) << edit->objectName().toStdString();
        }
        for (QComboBox *combo : page->findChildren<QComboBox *>()) {
            EXPECT_GE(combo->height(), combo->minimumSizeHint().height());
            EXPECT_GE(combo->width(), combo->sizeHint().width()) << "reader names are cut";
        }
        for (QWidget *widget : page->findChildren<QWidget *>()) {
            if (widget->isVisibleTo(page)) {
                EXPECT_TRUE(inside(widget));
            }
        }
    });

    QTabBar *tabs = form->PageControl1->tabBar();
    for (int tab = 0; tab < tabs->count(); ++tab) {
        EXPECT_TRUE(fits(tabs, tabs->tabText(tab), tabs->tabRect(tab)));
        EXPECT_LE(tabs->tabRect(tab).right(), tabs->width()) << "tabs scroll";
    }
    for (const QString &text : CardInfoTexts) {
        form->SetCardInfo(text);
        EXPECT_TRUE(fits(form->CardInfoLabel, text, form->CardInfoLabel->contentsRect()));
    }
    const QString longestHistoryLine = QStringLiteral("naposledy vyčteno 28. 12. 2026, kartu je nutné vyčíst");
    EXPECT_TRUE(fits(form->CardHistoryLabel, longestHistoryLine, form->CardHistoryLabel->contentsRect()));
    auto *panel0 = form->StatusBar->findChild<QWidget *>(QStringLiteral("StatusPanel0"));
    auto *panel1 = form->StatusBar->findChild<QWidget *>(QStringLiteral("StatusPanel1"));
    for (const QString &text : StatusTexts)
        EXPECT_TRUE(fits(panel0, text, panel0->rect().adjusted(2, 0, -2, 0)));
    for (const QString &text : CardPanelTexts)
        EXPECT_TRUE(fits(panel1, text, panel1->rect().adjusted(2, 0, -2, 0)));
    EXPECT_TRUE(form->StatusBar->rect().contains(panel1->geometry()));
    for (QWidget *widget : {static_cast<QWidget *>(form->Label1), static_cast<QWidget *>(form->Image1)})
        EXPECT_TRUE(inside(widget));

    // Pictures for the documentation: KORVAN_SCREENSHOTS names a folder.
    if (const QString folder = qEnvironmentVariable("KORVAN_SCREENSHOTS"); !folder.isEmpty()) {
        form->PageControl1->setCurrentWidget(form->SettingsSheet);
        form->SetStatus(StatusTexts.front());
        const QString name = QStringLiteral("%1/window-%2-%3.png")
                                     .arg(folder, qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1")),
                                          QLatin1String(GetParam().name));
        form->grab().save(name);
    }
}

INSTANTIATE_TEST_SUITE_P(Fonts, WindowFit,
                         testing::Values(FontCase{"DefaultFont", 0}, FontCase{"Points10", 10},
                                         FontCase{"Points12", 12}),
                         [](const testing::TestParamInfo<FontCase> &param) { return std::string(param.param.name); });

} // namespace
