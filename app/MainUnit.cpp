#include "app/MainUnit.h"

#include "app/ErrorDisplay.h"
#include "app/OpenDirDialog.h"
#include "app/RunProgressBar.h"
#include "app/SettingsCodec.h"
#include "app/SettingsLocation.h"
#include "app/SettingsStore.h"
#include "app/StatusPanel.h"
#include "app/Windows1250Validator.h"
#include "card/WinSCard.h"
#include "upload/Upload.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>

#include <cstdio>

namespace {

constexpr int ClientWidth = 417;
constexpr int ClientHeight = 362;
constexpr int StatusBarHeight = 19;
constexpr int CardPanelWidth = 80;
constexpr int StatusPanelMargin = 120;

template<typename Widget>
Widget *place(Widget *widget, const char *name, int left, int top, int width, int height)
{
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(left, top, width, height);
    return widget;
}

QLabel *placeLabel(QWidget *parent, const char *name, const QString &text, int left, int top)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->adjustSize();
    label->move(left, top);
    return label;
}

} // namespace

TMainForm::TMainForm(QWidget *parent)
    : QWidget(parent,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                      | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(ApplicationTitle);
    setWindowIcon(QApplication::windowIcon());
    setFixedSize(ClientWidth, ClientHeight);
    createControls();

    m_logToStandardError = qEnvironmentVariableIsSet("KORVAN_LOG_TO_STDERR");
    TachoCard::setLogSink([this](const std::string &line) { AddLog(QString::fromLatin1(line)); });
    runGuarded([this] { FormCreate(); });
}

TMainForm::~TMainForm()
{
    // A window destroyed without being closed still ends the monitor before it goes: the thread
    // posts to this object.
    if (!m_destroyed)
        TachoCard::ReleaseCardContext();
    TachoCard::setLogSink(nullptr);
}

void TMainForm::createControls()
{
    TopPanel = place(new QWidget(this), "TopPanel", 0, 0, ClientWidth, 73);
    TopPanel->setAutoFillBackground(true);
    QPalette white = TopPanel->palette();
    white.setColor(QPalette::Window, Qt::white);
    TopPanel->setPalette(white);

    Image1 = place(new QLabel(TopPanel), "Image1", 8, 8, 91, 57);
    Image1->setPixmap(QPixmap(QStringLiteral(":/korvan/logo.png")));

    Label1 = new QLabel(ApplicationTitle, TopPanel);
    Label1->setObjectName(QStringLiteral("Label1"));
    QFont titleFont(QStringLiteral("Arial"));
    // A cell height of 24 pixels, as the title was designed.
    titleFont.setPixelSize(21);
    Label1->setFont(titleFont);
    QPalette grey = Label1->palette();
    grey.setColor(QPalette::WindowText, Qt::gray);
    Label1->setPalette(grey);
    Label1->adjustSize();
    Label1->move(152, 24);

    Bevel1 = place(new QFrame(this), "Bevel1", 0, 73, ClientWidth, 2);
    Bevel1->setFrameShape(QFrame::HLine);
    Bevel1->setFrameShadow(QFrame::Sunken);

    PageControl1 = place(new QTabWidget(this), "PageControl1", 8, 88, 401, 245);

    CardSheet = new QWidget;
    CardSheet->setObjectName(QStringLiteral("CardSheet"));
    PageControl1->addTab(CardSheet, QStringLiteral("Karta"));
    CardInfoLabel =
            place(new QLabel(QStringLiteral("není vložena žádná karta"), CardSheet), "CardInfoLabel", 8, 84, 377, 15);
    CardInfoLabel->setAlignment(Qt::AlignCenter);
    CardReadButton =
            place(new QPushButton(QStringLiteral("Vyčíst kartu"), CardSheet), "CardReadButton", 144, 176, 105, 25);
    CardProgressBar = place(new RunProgressBar(CardSheet), "CardProgressBar", 8, 132, 377, 17);
    CardProgressBar->hide();
    connect(CardReadButton, &QPushButton::clicked, this, [this] { runGuarded([this] { CardReadButtonClick(); }); });

    SettingsSheet = new QWidget;
    SettingsSheet->setObjectName(QStringLiteral("SettingsSheet"));
    PageControl1->addTab(SettingsSheet, QStringLiteral("Nastavení"));

    GroupBox1 = place(new QGroupBox(QStringLiteral("Čtečka karet"), SettingsSheet), "GroupBox1", 4, 0, 385, 53);
    ReaderCombo = place(new QComboBox(GroupBox1), "ReaderCombo", 8, 20, 289, 21);
    ReaderCombo->setEditable(false);
    ReaderCombo->setEnabled(false);
    ReaderButton = place(new QPushButton(QStringLiteral("Změnit"), GroupBox1), "ReaderButton", 304, 20, 73, 21);
    connect(ReaderButton, &QPushButton::clicked, this, [this] { runGuarded([this] { ReaderButtonClick(); }); });

    GroupBox3 = place(new QGroupBox(QStringLiteral("Složka pro ukládání souborů"), SettingsSheet), "GroupBox3", 4, 56,
                      385, 53);
    SettingsPathEdit = place(new QLineEdit(GroupBox3), "SettingsPathEdit", 8, 20, 289, 21);
    SettingsPathEdit->setReadOnly(true);
    QPalette buttonFace = SettingsPathEdit->palette();
    buttonFace.setColor(QPalette::Base, buttonFace.color(QPalette::Button));
    SettingsPathEdit->setPalette(buttonFace);
    PathButton = place(new QPushButton(QStringLiteral("Vybrat..."), GroupBox3), "PathButton", 304, 20, 73, 21);
    connect(PathButton, &QPushButton::clicked, this, [this] { runGuarded([this] { PathButtonClick(); }); });

    GroupBox2 =
            place(new QGroupBox(QStringLiteral("Připojení k serveru"), SettingsSheet), "GroupBox2", 4, 112, 385, 101);
    Label3 = placeLabel(GroupBox2, "Label3", QStringLiteral("Kód firmy:"), 8, 24);
    SettingsCompanyEdit = place(new QLineEdit(GroupBox2), "SettingsCompanyEdit", 104, 20, 273, 21);
    Label4 = placeLabel(GroupBox2, "Label4", QStringLiteral("Jméno uživatele:"), 8, 48);
    SettingsUserEdit = place(new QLineEdit(GroupBox2), "SettingsUserEdit", 104, 44, 273, 21);
    Label5 = placeLabel(GroupBox2, "Label5", QStringLiteral("Heslo:"), 8, 72);
    SettingsPasswordEdit = place(new QLineEdit(GroupBox2), "SettingsPasswordEdit", 104, 68, 273, 21);
    SettingsPasswordEdit->setEchoMode(QLineEdit::Password);
    // What is stored and sent are Windows-1250 bytes: the edits take only what those can hold.
    for (QLineEdit *edit : {SettingsCompanyEdit, SettingsUserEdit, SettingsPasswordEdit})
        edit->setValidator(new Windows1250Validator(edit));

    LogSheet = new QWidget;
    LogSheet->setObjectName(QStringLiteral("LogSheet"));
    PageControl1->addTab(LogSheet, QStringLiteral("Ladící informace"));
    LogMemo = place(new QPlainTextEdit(LogSheet), "LogMemo", 4, 4, 385, 209);
    LogMemo->setReadOnly(true);
    LogMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    LogMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LogMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LogMemo->setUndoRedoEnabled(false);

    PageControl1->setCurrentWidget(CardSheet);
    LogMemo->installEventFilter(this);
    connect(PageControl1, &QTabWidget::currentChanged, this, [this] {
        if (PageControl1->currentWidget() == LogSheet)
            flushLog();
    });

    StatusBar =
            place(new QStatusBar(this), "StatusBar", 0, ClientHeight - StatusBarHeight, ClientWidth, StatusBarHeight);
    StatusBar->setSizeGripEnabled(false);
    m_statusPanel0 = new StatusPanel(StatusBar);
    m_statusPanel0->setObjectName(QStringLiteral("StatusPanel0"));
    m_statusPanel0->setFixedWidth(50);
    m_statusPanel1 = new StatusPanel(StatusBar);
    m_statusPanel1->setObjectName(QStringLiteral("StatusPanel1"));
    m_statusPanel1->setFixedWidth(CardPanelWidth);
    StatusBar->addWidget(m_statusPanel0);
    StatusBar->addWidget(m_statusPanel1);

    OpenDirDialog = new TOpenDirDialog(this);
    OpenDirDialog->setObjectName(QStringLiteral("OpenDirDialog"));
    OpenDirDialog->setTitle(QStringLiteral("Složka pro ukládání souborů"));
    OpenDirDialog->setOptionsEx(odxShowExtendDlg);
}

void TMainForm::FormCreate()
{
    setFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));

    SettingsFileName = settingsFilePath();
    createSettingsFolder(SettingsFileName);
    const StoredSettings stored = readSettings(SettingsFileName);
    SettingsCompanyEdit->setText(stored.Company);
    SettingsUserEdit->setText(stored.User);
    SettingsPasswordEdit->setText(stored.Password);
    if (stored.Left != -1 || stored.Top != -1)
        move(stored.Left != -1 ? stored.Left : x(), stored.Top != -1 ? stored.Top : y());
    SettingsPathEdit->setText(stored.FilePath);
    if (SettingsPathEdit->text().isEmpty())
        SettingsPathEdit->setText(defaultDownloadFolder());

    CardReadButton->setEnabled(false);
    CardPresent = false;
    clearLog();

    std::vector<std::string> readers;
    if (!TachoCard::ListReaders(readers)) {
        SetCardInfo(QStringLiteral("čtečka nenalezena"));
        ReaderCombo->setEnabled(false);
        ReaderButton->setEnabled(false);
        return;
    }
    ReaderCombo->clear();
    for (const auto &reader : readers)
        ReaderCombo->addItem(QString::fromUtf8(reader));
    ReaderCombo->setCurrentIndex(0);
    if (ReaderCombo->count() == 1) {
        ReaderButton->setEnabled(false);
    } else {
        const int saved = ReaderCombo->findText(stored.CardReader, Qt::MatchFixedString);
        if (!stored.CardReader.isEmpty() && saved >= 0)
            ReaderCombo->setCurrentIndex(saved);
        ReaderButton->setEnabled(true);
    }
    ReaderCombo->setEnabled(false);
    ReaderButton->setText(QStringLiteral("Změnit"));
    TachoCard::StartCardMonitor(ReaderCombo->currentText().toStdString(), this);
}

void TMainForm::FormDestroy()
{
    m_destroyed = true;
    TachoCard::ReleaseCardContext();

    StoredSettings settings;
    settings.Company = SettingsCompanyEdit->text();
    settings.User = SettingsUserEdit->text();
    settings.Password = SettingsPasswordEdit->text();
    settings.CardReader = ReaderCombo->currentIndex() >= 0 ? ReaderCombo->currentText() : QString();
    settings.FilePath = SettingsPathEdit->text();
    settings.Left = pos().x();
    settings.Top = pos().y();
    const SettingsWriteResult written = writeSettings(SettingsFileName, settings);
    if (!written.ok)
        throw ApplicationError(written.errorText);
}

void TMainForm::ReaderButtonClick()
{
    if (!ReaderCombo->isEnabled()) {
        TachoCard::DisconnectCard();
        ReaderCombo->setEnabled(true);
        ReaderButton->setEnabled(true);
        ReaderButton->setText(QStringLiteral("Vybrat"));
    } else {
        TachoCard::StartCardMonitor(ReaderCombo->currentText().toStdString(), this);
        ReaderCombo->setEnabled(false);
        ReaderButton->setEnabled(true);
        ReaderButton->setText(QStringLiteral("Změnit"));
    }
}

void TMainForm::PathButtonClick()
{
    OpenDirDialog->setPath(SettingsPathEdit->text());
    if (OpenDirDialog->Execute())
        SettingsPathEdit->setText(OpenDirDialog->Path());
}

QString TMainForm::EncodeSettingValue(const QString &Text)
{
    return ::EncodeSettingValue(Text);
}

QString TMainForm::DecodeSettingValue(const QString &Stored)
{
    return ::DecodeSettingValue(Stored);
}

void TMainForm::closeEvent(QCloseEvent *e)
{
    if (m_busy > 0) {
        m_closePending = true;
        e->ignore();
        return;
    }
    if (!m_destroyed)
        runGuarded([this] { FormDestroy(); });
    e->accept();
}

void TMainForm::resizeEvent(QResizeEvent *e)
{
    QWidget::resizeEvent(e);
    FormResize();
}

void TMainForm::FormResize()
{
    m_statusPanel0->setFixedWidth(std::max(0, frameGeometry().width() - StatusPanelMargin));
}

bool TMainForm::eventFilter(QObject *watched, QEvent *e)
{
    // The log is shown (its tab opened, the window shown): the lines gathered meanwhile go in.
    if (watched == LogMemo && e->type() == QEvent::Show)
        flushLog();
    return QWidget::eventFilter(watched, e);
}

bool TMainForm::event(QEvent *e)
{
    if (e->type() == CardStateEvent::WM_CARD_STATE) {
        // A notice still queued when the window closed finds the card layer already released.
        if (m_destroyed)
            return true;
        const std::uint32_t result = static_cast<CardStateEvent *>(e)->Result;
        runGuarded([this, result] {
            if (serviceAvailabilityChanged(result))
                WMCardState();
        });
        return true;
    }
    return QWidget::event(e);
}

void TMainForm::PostCardState(std::uint32_t result)
{
    QCoreApplication::postEvent(this, new CardStateEvent(result));
}

// The smart-card service can stop (an update, a crash, systemd's idle exit) and come back. While
// it is gone the card tab says so and counts no card as present; the monitor establishes a new
// context when the service is back, and its first notice then tells the reader's state afresh.
bool TMainForm::serviceAvailabilityChanged(std::uint32_t result)
{
    if (TachoCard::isServiceLost(result)) {
        if (!m_serviceLost) {
            m_serviceLost = true;
            cardPresenceChanged(false);
            SetStatus(QStringLiteral("Služba čipových karet není dostupná"));
        }
        return false;
    }
    if (m_serviceLost && result == 0) {
        m_serviceLost = false;
        SetStatus(QString());
    }
    return true;
}

void TMainForm::WMCardState()
{
    const std::uint32_t state = TachoCard::ReaderState;
    if ((state & SCARD_STATE_CHANGED) == 0)
        return;
    cardPresenceChanged((state & SCARD_STATE_PRESENT) != 0);
}

// Notices become edges through CardPresent: only the first notice that shows a card identifies
// it, only the first that shows none resets the card tab.
void TMainForm::cardPresenceChanged(bool present)
{
    if (present) {
        if (CardPresent)
            return;
        if (m_busy > 0) {
            m_cardCheckPending = true;
            return;
        }
        BusyScope busy(*this);
        CardPresent = true;
        SetStatus(QString());
        setCardPanel(QStringLiteral("Karta vložena"));
        IdentifyCard();
    } else {
        if (!CardPresent)
            return;
        CardPresent = false;
        setCardPanel(QString());
        SetCardInfo(QStringLiteral("není vložena žádná karta"));
        CardReadButton->setEnabled(false);
    }
}

bool TMainForm::ReadCardFile(const QString &FileTitle, std::uint16_t FileId, bool Signed)
{
    return Download.ReadCardFile(FileTitle, FileId, Signed);
}

void TMainForm::IdentifyCard()
{
    Download.IdentifyCard();
}

// Appending one line at a time lays each out at once, also in a hidden tab, and dominates a
// download's own time; lines gathered until window events next run are added in one step. Nothing
// can be seen in between: the window is painted only when its events run.
void TMainForm::AddLog(const QString &Text)
{
    // While the log tab is not shown, its lines wait until it is, but never so many that opening
    // the tab would make the user wait.
    constexpr qsizetype HiddenLinesLimit = 5000;
    if ((m_pendingLog.isEmpty() && LogMemo->isVisible()) || m_pendingLog.size() == HiddenLinesLimit)
        QMetaObject::invokeMethod(this, &TMainForm::flushLog, Qt::QueuedConnection);
    m_pendingLog.append(Text);
    if (m_logToStandardError)
        std::fprintf(stderr, "%s\n", Text.toUtf8().constData());
}

void TMainForm::SetStatus(const QString &Text)
{
    m_statusPanel0->setText(Text);
    QCoreApplication::processEvents();
}

void TMainForm::SetCardInfo(const QString &Text)
{
    CardInfoLabel->setText(Text);
    QCoreApplication::processEvents();
}

QString TMainForm::statusText(int panel) const
{
    return (panel == 0 ? m_statusPanel0 : m_statusPanel1)->text();
}

void TMainForm::setCardPanel(const QString &text)
{
    m_statusPanel1->setText(text);
}

void TMainForm::setReadButtonEnabled(bool enabled)
{
    CardReadButton->setEnabled(enabled);
}

void TMainForm::flushLog()
{
    if (m_pendingLog.isEmpty())
        return;
    LogMemo->appendPlainText(m_pendingLog.join(u'\n'));
    m_pendingLog.clear();
}

void TMainForm::clearLog()
{
    m_pendingLog.clear();
    LogMemo->clear();
}

void TMainForm::setProgress(int done, int total)
{
    CardProgressBar->setVisible(total > 0);
    if (total > 0) {
        CardProgressBar->setRange(total);
        CardProgressBar->setValue(done);
    }
}

void TMainForm::CardReadButtonClick()
{
    BusyScope busy(*this);
    const DownloadRunResult result = Download.runDownload(SettingsPathEdit->text());
    if (result.outcome == DownloadRunResult::Outcome::WriteFailed)
        throw ApplicationError(result.errorText);
    if (result.outcome == DownloadRunResult::Outcome::Written)
        OfferUpload(result.fileName);
}

void TMainForm::OfferUpload(const QString &FileName)
{
    QMessageBox question(QMessageBox::Question, ApplicationTitle, QStringLiteral("Odeslat soubor na server?"),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setObjectName(QStringLiteral("UploadQuestion"));
    if (question.exec() != QMessageBox::Yes)
        return;
    if (SettingsCompanyEdit->text().isEmpty() || SettingsUserEdit->text().isEmpty()
        || SettingsPasswordEdit->text().isEmpty()) {
        SetStatus(QStringLiteral("Nelze odeslat soubor na server, chybí přihlašovací údaje"));
        return;
    }
    UploadFile(FileName);
}

void TMainForm::UploadFile(const QString &FileName)
{
    UploadInput input;
    input.company = SettingsCompanyEdit->text();
    input.user = SettingsUserEdit->text();
    input.password = SettingsPasswordEdit->text();
    input.fileName = FileName;
    input.data = QByteArrayView(Download.DownloadBuffer.data(), Download.DownloadLength);
    input.limits = UploadLimits;
    ::UploadFile(*this, input);
}

TMainForm::BusyScope::BusyScope(TMainForm &form)
    : m_form(form)
{
    ++m_form.m_busy;
}

TMainForm::BusyScope::~BusyScope()
{
    if (--m_form.m_busy == 0 && (m_form.m_cardCheckPending || m_form.m_closePending))
        QMetaObject::invokeMethod(
                &m_form, [form = &m_form] { form->afterBusy(); }, Qt::QueuedConnection);
}

// What waited for the end of a long operation: the card now in the reader, then a close.
void TMainForm::afterBusy()
{
    if (m_busy > 0)
        return;
    if (std::exchange(m_cardCheckPending, false))
        runGuarded([this] { cardPresenceChanged((TachoCard::ReaderState & SCARD_STATE_PRESENT) != 0); });
    if (m_busy == 0 && std::exchange(m_closePending, false))
        close();
}
