#include "app/SettingsPage.h"

#include "app/OpenDirDialog.h"
#include "app/WindowScale.h"
#include "app/Windows1250Validator.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

template<typename Widget, typename... Args>
Widget *named(const char *name, Args &&...args)
{
    auto *widget = new Widget(std::forward<Args>(args)...);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// A field and its button, as the reader and the folder are chosen.
QHBoxLayout *fieldWithButton(QGroupBox *box, QWidget *field, QPushButton *button)
{
    auto *row = new QHBoxLayout(box);
    row->addWidget(field, 1);
    row->addWidget(button);
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return row;
}

} // namespace

SettingsPage::SettingsPage(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("SettingsSheet"));

    GroupBox1 = named<QGroupBox>("GroupBox1", QStringLiteral("Čtečka karet"), this);
    ReaderCombo = named<QComboBox>("ReaderCombo", GroupBox1);
    ReaderCombo->setEditable(false);
    ReaderCombo->setEnabled(false);
    // A reader's name is shown whole: the window grows for a long one.
    ReaderCombo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    ReaderButton = named<QPushButton>("ReaderButton", QStringLiteral("Změnit"), GroupBox1);
    m_readerRow = fieldWithButton(GroupBox1, ReaderCombo, ReaderButton);

    GroupBox3 = named<QGroupBox>("GroupBox3", QStringLiteral("Složka pro ukládání souborů"), this);
    SettingsPathEdit = named<QLineEdit>("SettingsPathEdit", GroupBox3);
    SettingsPathEdit->setReadOnly(true);
    QPalette buttonFace = SettingsPathEdit->palette();
    buttonFace.setColor(QPalette::Base, buttonFace.color(QPalette::Button));
    SettingsPathEdit->setPalette(buttonFace);
    PathButton = named<QPushButton>("PathButton", QStringLiteral("Vybrat..."), GroupBox3);
    m_folderRow = fieldWithButton(GroupBox3, SettingsPathEdit, PathButton);

    GroupBox2 = named<QGroupBox>("GroupBox2", QStringLiteral("Připojení k serveru"), this);
    Label3 = named<QLabel>("Label3", QStringLiteral("Kód firmy:"), GroupBox2);
    SettingsCompanyEdit = named<QLineEdit>("SettingsCompanyEdit", GroupBox2);
    Label4 = named<QLabel>("Label4", QStringLiteral("Jméno uživatele:"), GroupBox2);
    SettingsUserEdit = named<QLineEdit>("SettingsUserEdit", GroupBox2);
    Label5 = named<QLabel>("Label5", QStringLiteral("Heslo:"), GroupBox2);
    SettingsPasswordEdit = named<QLineEdit>("SettingsPasswordEdit", GroupBox2);
    SettingsPasswordEdit->setEchoMode(QLineEdit::Password);
    m_credentials = new QGridLayout(GroupBox2);
    int row = 0;
    for (auto [label, edit] : {std::pair{Label3, SettingsCompanyEdit}, std::pair{Label4, SettingsUserEdit},
                               std::pair{Label5, SettingsPasswordEdit}}) {
        m_credentials->addWidget(label, row, 0);
        m_credentials->addWidget(edit, row, 1);
        // What is stored and sent are Windows-1250 bytes: the edits take only what those can hold.
        edit->setValidator(new Windows1250Validator(edit));
        connect(edit, &QLineEdit::editingFinished, this, &SettingsPage::credentialsCommitted);
        ++row;
    }
    m_credentials->setColumnStretch(1, 1);

    m_layout = new QVBoxLayout(this);
    m_layout->addWidget(GroupBox1);
    m_layout->addWidget(GroupBox3);
    m_layout->addWidget(GroupBox2);
    m_layout->addStretch(1);

    OpenDirDialog = new TOpenDirDialog(this);
    OpenDirDialog->setObjectName(QStringLiteral("OpenDirDialog"));
    OpenDirDialog->setTitle(QStringLiteral("Složka pro ukládání souborů"));
    applyScale(1.0);
}

void SettingsPage::applyScale(double scale)
{
    using WindowScale::scaled;
    // The design: boxes 4 from the tab's edges and 3 apart, their controls 8 from the frame and 7
    // apart, the credentials' edits 96 after their labels start.
    m_layout->setContentsMargins(scaled(4, scale), 0, scaled(4, scale), scaled(4, scale));
    m_layout->setSpacing(scaled(3, scale));
    const QMargins inBox(scaled(8, scale), scaled(3, scale), scaled(8, scale), scaled(8, scale));
    for (QLayout *layout : {static_cast<QLayout *>(m_readerRow), static_cast<QLayout *>(m_folderRow),
                            static_cast<QLayout *>(m_credentials)})
        layout->setContentsMargins(inBox);
    m_readerRow->setSpacing(scaled(7, scale));
    m_folderRow->setSpacing(scaled(7, scale));
    m_credentials->setHorizontalSpacing(scaled(7, scale));
    m_credentials->setVerticalSpacing(scaled(3, scale));
    m_credentials->setColumnMinimumWidth(0, scaled(89, scale));
    GroupBox1->setMinimumHeight(scaled(53, scale));
    GroupBox3->setMinimumHeight(scaled(53, scale));
    GroupBox2->setMinimumHeight(scaled(101, scale));
    for (QPushButton *button : {ReaderButton, PathButton})
        button->setMinimumSize(scaled(73, scale), scaled(21, scale));
    for (QWidget *field : std::initializer_list<QWidget *>{ReaderCombo, SettingsPathEdit, SettingsCompanyEdit,
                                                           SettingsUserEdit, SettingsPasswordEdit})
        field->setMinimumHeight(scaled(21, scale));
}

void SettingsPage::load(const StoredSettings &stored, const QString &defaultFolder)
{
    SettingsCompanyEdit->setText(stored.Company);
    SettingsUserEdit->setText(stored.User);
    SettingsPasswordEdit->setText(stored.Password);
    SettingsPathEdit->setText(stored.FilePath.isEmpty() ? defaultFolder : stored.FilePath);
}

StoredSettings SettingsPage::current() const
{
    StoredSettings settings;
    settings.Company = SettingsCompanyEdit->text();
    settings.User = SettingsUserEdit->text();
    settings.Password = SettingsPasswordEdit->text();
    settings.CardReader = ReaderCombo->currentIndex() >= 0 ? ReaderCombo->currentText() : QString();
    settings.FilePath = SettingsPathEdit->text();
    return settings;
}

void SettingsPage::chooseFolder()
{
    OpenDirDialog->setPath(SettingsPathEdit->text());
    if (OpenDirDialog->Execute())
        SettingsPathEdit->setText(OpenDirDialog->Path());
}
