#include "app/MainUnit.h"

#include "app/CardPage.h"
#include "app/ErrorDisplay.h"
#include "app/HistoryPage.h"
#include "app/LogPane.h"
#include "app/OpenDirDialog.h"
#include "app/RunProgressBar.h"
#include "app/SessionController.h"
#include "app/SettingsLocation.h"
#include "app/SettingsPage.h"
#include "app/SettingsStore.h"
#include "app/StatusLine.h"
#include "app/TitlePanel.h"
#include "app/UploadRequest.h"
#include "app/WindowScale.h"
#include "history/HistorySnapshot.h"
#include "history/HistoryStore.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

// The design's room around the tabs: below the bevel, at the sides and above the status bar.
constexpr int TabsTop = 13;
constexpr int TabsSide = 8;
constexpr int TabsBottom = 10;

} // namespace

TMainForm::TMainForm(QWidget *parent)
    : QWidget(parent,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                      | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(ApplicationTitle);
    setWindowIcon(QApplication::windowIcon());
    createControls();

    m_session = new SessionController(this);
    connectSession();
    updateControls(m_session->controls());
    runGuarded([this] { FormCreate(); });
}

TMainForm::~TMainForm()
{
    // A window destroyed without being closed still ends the monitor and the worker before it
    // goes: both report to this object.
    if (!m_destroyed)
        m_session->stop();
    // The focused edit loses its focus as the window goes, which would commit its text to a
    // window already half destroyed.
    disconnect(m_settingsPage, nullptr, this, nullptr);
}

void TMainForm::connectSession()
{
    m_session->startWorkers();
    connect(m_session, &SessionController::controlsChanged, this, &TMainForm::updateControls);
    connect(m_session, &SessionController::statusChanged, this,
            [this](const QString &text) { m_statusLine->setStatus(text); });
    connect(m_session, &SessionController::cardInfoChanged, this, [this](const QString &text) {
        CardInfoLabel->setText(text);
        // The line belongs to the holder shown; the worker sends it after the holder.
        CardHistoryLabel->clear();
    });
    connect(m_session, &SessionController::cardPanelChanged, this, &TMainForm::setCardPanel);
    connect(m_session, &SessionController::logLine, this, &TMainForm::AddLog);
    connect(m_session, &SessionController::logCleared, this, &TMainForm::clearLog);
    connect(m_session, &SessionController::progressChanged, this, &TMainForm::setProgress);
    connect(m_session, &SessionController::readerListChanged, this, &TMainForm::showReaders);
    connect(m_session, &SessionController::choosingReaderChanged, this, [this](bool choosing) {
        ReaderButton->setText(choosing ? QStringLiteral("Vybrat") : QStringLiteral("Změnit"));
    });
    connect(m_session, &SessionController::uploadOffered, this, &TMainForm::OfferUpload);
    connect(m_session, &SessionController::errorOccurred, this, &ShowApplicationError);
    connect(m_session, &SessionController::closeReady, this, &QWidget::close);
    connect(ReaderCombo, &QComboBox::currentIndexChanged, m_session, &SessionController::pickReader);
    connectHistory();
}

void TMainForm::createControls()
{
    m_titlePanel = new TitlePanel(ApplicationTitle, this);
    TopPanel = m_titlePanel;
    Image1 = m_titlePanel->Image1;
    Label1 = m_titlePanel->Label1;

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameShape(QFrame::HLine);
    Bevel1->setFrameShadow(QFrame::Sunken);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    m_cardPage = new CardPage;
    CardSheet = m_cardPage;
    CardInfoLabel = m_cardPage->CardInfoLabel;
    CardHistoryLabel = m_cardPage->CardHistoryLabel;
    CardProgressBar = m_cardPage->CardProgressBar;
    CardReadButton = m_cardPage->CardReadButton;
    PageControl1->addTab(CardSheet, QStringLiteral("Karta"));
    connect(CardReadButton, &QPushButton::clicked, this, [this] { runGuarded([this] { CardReadButtonClick(); }); });

    m_settingsPage = new SettingsPage;
    SettingsSheet = m_settingsPage;
    GroupBox1 = m_settingsPage->GroupBox1;
    ReaderCombo = m_settingsPage->ReaderCombo;
    ReaderButton = m_settingsPage->ReaderButton;
    GroupBox3 = m_settingsPage->GroupBox3;
    SettingsPathEdit = m_settingsPage->SettingsPathEdit;
    PathButton = m_settingsPage->PathButton;
    GroupBox2 = m_settingsPage->GroupBox2;
    Label3 = m_settingsPage->Label3;
    SettingsCompanyEdit = m_settingsPage->SettingsCompanyEdit;
    Label4 = m_settingsPage->Label4;
    SettingsUserEdit = m_settingsPage->SettingsUserEdit;
    Label5 = m_settingsPage->Label5;
    SettingsPasswordEdit = m_settingsPage->SettingsPasswordEdit;
    OpenDirDialog = m_settingsPage->OpenDirDialog;
    PageControl1->addTab(SettingsSheet, QStringLiteral("Nastavení"));
    connect(ReaderButton, &QPushButton::clicked, this, [this] { runGuarded([this] { ReaderButtonClick(); }); });
    connect(PathButton, &QPushButton::clicked, this, [this] { runGuarded([this] { PathButtonClick(); }); });

    m_logPane = new LogPane;
    LogSheet = m_logPane;
    LogMemo = m_logPane->LogMemo;
    PageControl1->addTab(LogSheet, QStringLiteral("Ladící informace"));

    m_historyPage = new HistoryPage;
    HistorySheet = m_historyPage;
    HistoryDriversView = m_historyPage->HistoryDriversView;
    HistoryDownloadsView = m_historyPage->HistoryDownloadsView;
    HistoryFolderButton = m_historyPage->HistoryFolderButton;
    HistoryErrorLabel = m_historyPage->HistoryErrorLabel;
    PageControl1->addTab(HistorySheet, QStringLiteral("Historie"));
    connect(m_historyPage, &HistoryPage::statusMessage, this, &TMainForm::SetStatus);
    PageControl1->setCurrentWidget(CardSheet);
    // A hidden window's tabs get no show events: what a tab shows is brought in as it becomes current.
    connect(PageControl1, &QTabWidget::currentChanged, this, [this] {
        if (PageControl1->currentWidget() == LogSheet)
            flushLog();
        m_historyPage->setCurrent(PageControl1->currentWidget() == HistorySheet);
    });

    m_statusLine = new StatusLine(this);
    StatusBar = m_statusLine;

    m_tabsLayout = new QVBoxLayout;
    m_tabsLayout->addWidget(PageControl1);
    auto *window = new QVBoxLayout(this);
    window->setContentsMargins(0, 0, 0, 0);
    window->setSpacing(0);
    window->addWidget(TopPanel);
    window->addWidget(Bevel1);
    window->addLayout(m_tabsLayout, 1);
    window->addWidget(StatusBar);
}

void TMainForm::FormCreate()
{
    // The desktop's general font, which the application takes from the desktop's settings.
    setFont(QApplication::font());
    fitLayoutToFont();

    SettingsFileName = settingsFilePath();
    createSettingsFolder(SettingsFileName);
    const StoredSettings stored = readSettings(SettingsFileName);
    m_settingsPage->load(stored, defaultDownloadFolder());
    if (stored.Left != -1 || stored.Top != -1)
        move(stored.Left != -1 ? stored.Left : x(), stored.Top != -1 ? stored.Top : y());

    clearLog();

    m_session->start(stored.CardReader);
    startHistory();
}

void TMainForm::FormDestroy()
{
    m_destroyed = true;
    // Written before anything waits, unless a termination already wrote them.
    const SettingsWriteResult written = m_settingsSaved ? SettingsWriteResult{true, 0, {}} : saveSettings();
    m_session->stop();
    if (!written.ok)
        throw ApplicationError(written.errorText);
}

SettingsWriteResult TMainForm::saveSettings()
{
    m_settingsSaved = true;
    StoredSettings settings = m_settingsPage->current();
    settings.Left = pos().x();
    settings.Top = pos().y();
    return writeSettings(SettingsFileName, settings);
}

void TMainForm::ReaderButtonClick()
{
    m_session->changeReader();
}

void TMainForm::showReaders(const QStringList &readers, int current)
{
    const QSignalBlocker blocker(ReaderCombo);
    ReaderCombo->clear();
    ReaderCombo->addItems(readers);
    ReaderCombo->setCurrentIndex(current);
}

void TMainForm::PathButtonClick()
{
    if (isBusy())
        return;
    m_settingsPage->chooseFolder();
}

void TMainForm::closeEvent(QCloseEvent *e)
{
    if (state() == FormState::Asking && m_question) {
        // Closing is no answer: the file stays to be sent from the history.
        m_session->closeWhenIdle();
        m_question->done(QMessageBox::No);
    }
    if (isBusy()) {
        m_session->closeWhenIdle();
        e->ignore();
        return;
    }
    if (!m_destroyed)
        runGuarded([this] { FormDestroy(); });
    e->accept();
}

// A termination request: nobody waits for the program. The settings are written first, so that a
// second request (which ends the process at once) loses nothing; a run stops at its next command
// and keeps what it read as an incomplete download, an upload in flight ends and stays queued.
void TMainForm::terminate()
{
    if (!m_settingsSaved) {
        if (const SettingsWriteResult written = saveSettings(); !written.ok)
            AddLog(written.errorText);
    }
    m_session->endWorkNow();
    m_session->closeWhenIdle();
    // Error boxes too: their nested loop would otherwise keep the program alive for nobody.
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible() && box != m_question)
            box->reject();
    }
    // Closed by the end, the question stays unanswered: the file can be sent from the history.
    if (m_question)
        m_question->done(QMessageBox::No);
    OpenDirDialog->close();
    close();
}

// The design is drawn for an 8-point Windows font; Linux desktops use larger fonts, and scaling of
// 125 % or more. The window opens at the design's proportions, as large as the font's cell and
// the room every control asks for need; the layouts place the controls at any size after that.
void TMainForm::fitLayoutToFont()
{
    fitLayout(WindowScale::ofFont(fontMetrics()));
}

void TMainForm::fitLayout(double scale)
{
    for (int pass = 0; pass < 4; ++pass) {
        applyFontScale(scale);
        layout()->activate();
        const double needed = WindowScale::toHold(minimumSizeHint(), scale);
        if (needed <= scale)
            break;
        scale = needed;
    }
    m_layoutScale = scale;
    // A window not shown yet has no size of its own: the platform's default would stand there.
    resize(isVisible() ? size().expandedTo(WindowScale::designSize(scale)) : WindowScale::designSize(scale));
}

// A control asked for more room than the window has (a long reader name came): the window grows,
// in the design's proportions, rather than only in the one direction the layout would widen it.
void TMainForm::growForContents()
{
    if (const double needed = WindowScale::toHold(minimumSize(), m_layoutScale); needed > m_layoutScale)
        fitLayout(needed);
}

void TMainForm::applyFontScale(double scale)
{
    using WindowScale::scaled;
    m_titlePanel->applyScale(scale);
    Bevel1->setFixedHeight(2);
    m_tabsLayout->setContentsMargins(scaled(TabsSide, scale), scaled(TabsTop, scale), scaled(TabsSide, scale),
                                     scaled(TabsBottom, scale));
    m_cardPage->applyScale(scale);
    m_settingsPage->applyScale(scale);
    m_logPane->applyScale(scale);
    m_historyPage->applyScale(scale);
    m_statusLine->applyScale(scale);
}

bool TMainForm::event(QEvent *e)
{
    if (e->type() == QEvent::LayoutRequest && StatusBar != nullptr) {
        const bool handled = QWidget::event(e);
        growForContents();
        return handled;
    }
    // The desktop's font changed while the window is open.
    if (e->type() == QEvent::ApplicationFontChange && StatusBar != nullptr) {
        setFont(QApplication::font());
        fitLayoutToFont();
    }
    return QWidget::event(e);
}

TMainForm::FormState TMainForm::state() const
{
    return m_session->state();
}

bool TMainForm::isBusy() const
{
    return m_session->isBusy();
}

bool TMainForm::cardWaiting() const
{
    return m_session->cardWaiting();
}

bool TMainForm::cardPresent() const
{
    return m_session->cardPresent();
}

void TMainForm::updateControls(const EnabledControls &controls)
{
    CardReadButton->setEnabled(controls.readButton);
    ReaderButton->setEnabled(controls.readerButton);
    ReaderCombo->setEnabled(controls.readerList);
    PathButton->setEnabled(controls.pathButton);
}

void TMainForm::IdentifyCard()
{
    m_session->identifyCard();
}

void TMainForm::setDownloadClock(std::function<QDateTime()> clock)
{
    m_session->setDownloadClock(std::move(clock));
}

void TMainForm::AddLog(const QString &Text)
{
    m_logPane->append(Text);
}

void TMainForm::SetStatus(const QString &Text)
{
    m_session->setStatus(Text);
}

void TMainForm::SetCardInfo(const QString &Text)
{
    m_session->setCardInfo(Text);
}

QString TMainForm::statusText(int panel) const
{
    return m_statusLine->text(panel);
}

void TMainForm::setCardPanel(const QString &text)
{
    m_statusLine->setCardPanel(text);
}

void TMainForm::flushLog()
{
    m_logPane->flush();
}

void TMainForm::clearLog()
{
    m_logPane->clear();
}

void TMainForm::setProgress(int done, int total)
{
    m_cardPage->setProgress(done, total);
}

void TMainForm::CardReadButtonClick()
{
    m_session->startRun(SettingsPathEdit->text());
}

// The question is open without blocking anything: card notices are handled meanwhile, and a
// termination request answers it No.
void TMainForm::OfferUpload(const QString &FileName)
{
    const UploadQuestion asked = m_session->uploadQuestion();
    auto *question = new QMessageBox(asked.warning ? QMessageBox::Warning : QMessageBox::Question, ApplicationTitle,
                                     asked.text, QMessageBox::Yes | QMessageBox::No, this);
    question->setDefaultButton(asked.warning ? QMessageBox::No : QMessageBox::Yes);
    question->setObjectName(QStringLiteral("UploadQuestion"));
    question->setAttribute(Qt::WA_DeleteOnClose);
    connect(question, &QMessageBox::finished, this, [this, FileName](int answer) {
        runGuarded([&] {
            m_question = nullptr;
            m_session->questionAnswered(answer == QMessageBox::Yes, uploadRequest(FileName));
        });
    });
    m_question = question;
    question->open();
}

void TMainForm::UploadFile(const QString &FileName)
{
    m_session->uploadFile(uploadRequest(FileName));
}

UploadRequest TMainForm::uploadRequest(const QString &fileName) const
{
    UploadRequest request;
    request.company = SettingsCompanyEdit->text();
    request.user = SettingsUserEdit->text();
    request.password = SettingsPasswordEdit->text();
    request.fileName = fileName;
    request.limits = UploadLimits;
    return request;
}

// --- The history tab, the card's line and the upload queue ---

void TMainForm::connectHistory()
{
    connect(m_session, &SessionController::cardHistoryFound, CardHistoryLabel, &QLabel::setText);
    connect(m_session, &SessionController::uploadsWaiting, this, &TMainForm::showUploadsWaiting);
    connect(m_session, &SessionController::historyChanged, m_historyPage, &HistoryPage::markStale);
    connect(m_session, &SessionController::historyLoaded, m_historyPage,
            [this](const HistorySnapshot &snapshot) { runGuarded([&] { m_historyPage->showSnapshot(snapshot); }); });
    connect(m_historyPage, &HistoryPage::loadRequested, m_session, &SessionController::loadHistory);
    connect(m_historyPage, &HistoryPage::sendRequested, m_session, &SessionController::sendFromHistory);
}

// After the settings have been read: the worker opens the history at its thread and the queue
// starts with the credentials of the settings file.
void TMainForm::startHistory()
{
    const UploadCredentials credentials{SettingsCompanyEdit->text(), SettingsUserEdit->text(),
                                        SettingsPasswordEdit->text()};
    m_session->openHistory(HistoryStore::defaultPath(), credentials, UploadLimits);
    connect(m_settingsPage, &SettingsPage::credentialsCommitted, this, &TMainForm::sendUploadSettings);
}

void TMainForm::sendUploadSettings()
{
    const UploadCredentials credentials{SettingsCompanyEdit->text(), SettingsUserEdit->text(),
                                        SettingsPasswordEdit->text()};
    m_session->setUploadSettings(credentials, UploadLimits);
}

void TMainForm::showUploadsWaiting(int count)
{
    m_uploadsWaiting = count;
    m_statusLine->showUploadsWaiting(count);
}
