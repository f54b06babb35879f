#include "app/MainUnit.h"

#include "app/CardPage.h"
#include "app/CardWorker.h"
#include "app/ErrorDisplay.h"
#include "app/HistoryPage.h"
#include "app/LogPane.h"
#include "app/OpenDirDialog.h"
#include "app/RunProgressBar.h"
#include "app/SettingsCodec.h"
#include "app/SettingsLocation.h"
#include "app/SettingsPage.h"
#include "app/SettingsStore.h"
#include "app/StatusPanel.h"
#include "app/WindowScale.h"
#include "card/WinSCard.h"
#include "history/HistorySnapshot.h"
#include "history/HistoryStore.h"
#include "upload/Upload.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <condition_variable>
#include <mutex>

namespace {

constexpr int StatusBarHeight = 19;
constexpr int CardPanelWidth = 80;
// The design's room around the tabs: below the bevel, at the sides and above the status bar.
constexpr int TabsTop = 13;
constexpr int TabsSide = 8;
constexpr int TabsBottom = 10;

// The status texts that the status bar must show whole: the longest of those the program sets.
QStringList longestStatusTexts()
{
    return {UploadStatusText(200),
            UploadStatusText(401),
            QStringLiteral("Nelze odeslat soubor na server, chybí přihlašovací údaje"),
            QStringLiteral("Chyba při načítání: není vložena tachografová karta"),
            QStringLiteral("Chyba při načítání: nelze načíst identifikační soubor"),
            QStringLiteral("Čtení karty neúplné, nepodařilo se načíst soubor Control Activity Data"),
            QStringLiteral("Služba čipových karet není dostupná")};
}

const QStringList CardPanelTexts{QStringLiteral("Karta připojena"), QStringLiteral("Karta vložena")};

int widest(const QFontMetrics &metrics, const QStringList &texts)
{
    int width = 0;
    for (const QString &text : texts)
        width = std::max(width, metrics.horizontalAdvance(text));
    return width;
}

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

    startWorker();
    updateControls();
    runGuarded([this] { FormCreate(); });
}

TMainForm::~TMainForm()
{
    // A window destroyed without being closed still ends the monitor and the worker before it
    // goes: both report to this object.
    if (!m_destroyed)
        stopWorker();
}

void TMainForm::startWorker()
{
    m_worker = new CardWorker(this, *this);
    m_worker->moveToThread(&m_workerThread);
    m_workerThread.setObjectName(QStringLiteral("card worker"));
    connect(&m_workerThread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &CardWorker::readersListed, this,
            [this](bool listed, const QStringList &readers) { runGuarded([&] { readersListed(listed, readers); }); });
    connect(m_worker, &CardWorker::identificationFinished, this,
            [this] { runGuarded([this] { identificationFinished(); }); });
    connect(m_worker, &CardWorker::cardFileRead, this, &TMainForm::cardFileRead);
    connect(m_worker, &CardWorker::runFinished, this,
            [this](const DownloadRunResult &result) { runGuarded([&] { runFinished(result); }); });
    connect(m_worker, &CardWorker::uploadFinished, this, [this] { runGuarded([this] { uploadFinished(); }); });
    connectHistory();
    m_workerThread.start();
}

// The last call on the worker releases the card layer; then its thread ends. Only work that has
// ended is waited for: a close waits for running work before it comes here.
void TMainForm::stopWorker()
{
    if (!m_workerThread.isRunning())
        return;
    // Handed over through a standard mutex rather than a blocking queued call: the card layer's
    // own threads end inside release(), and what they touched is freed here after it.
    std::mutex releaseMutex;
    std::condition_variable releaseSignal;
    bool released = false;
    QMetaObject::invokeMethod(
            m_worker,
            [&, worker = m_worker] {
                worker->release();
                std::lock_guard lock(releaseMutex);
                released = true;
                releaseSignal.notify_all();
            },
            Qt::QueuedConnection);
    {
        std::unique_lock lock(releaseMutex);
        releaseSignal.wait(lock, [&] { return released; });
    }
    m_workerThread.quit();
    m_workerThread.wait();
}

template<typename Call>
void TMainForm::toWorker(Call call)
{
    QMetaObject::invokeMethod(m_worker, std::move(call), Qt::QueuedConnection);
}

void TMainForm::createControls()
{
    TopPanel = new QWidget(this);
    TopPanel->setObjectName(QStringLiteral("TopPanel"));
    TopPanel->setAutoFillBackground(true);
    QPalette white = TopPanel->palette();
    white.setColor(QPalette::Window, Qt::white);
    TopPanel->setPalette(white);
    Image1 = new QLabel(TopPanel);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(QPixmap(QStringLiteral(":/korvan/logo.png")));
    // The logo grows with the window.
    Image1->setScaledContents(true);
    Label1 = new QLabel(ApplicationTitle, TopPanel);
    Label1->setObjectName(QStringLiteral("Label1"));
    QFont titleFont(QStringLiteral("Arial"));
    // A cell height of 24 pixels, as the title was designed.
    titleFont.setPixelSize(21);
    Label1->setFont(titleFont);
    QPalette grey = Label1->palette();
    grey.setColor(QPalette::WindowText, Qt::gray);
    Label1->setPalette(grey);
    m_topLayout = new QHBoxLayout(TopPanel);
    m_topLayout->addWidget(Image1);
    m_topLayout->addWidget(Label1, 0, Qt::AlignTop);
    m_topLayout->addStretch(1);

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

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(false);
    m_statusPanel0 = new StatusPanel(StatusBar);
    m_statusPanel0->setObjectName(QStringLiteral("StatusPanel0"));
    m_statusPanel0->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_statusPanel1 = new StatusPanel(StatusBar);
    m_statusPanel1->setObjectName(QStringLiteral("StatusPanel1"));
    StatusBar->addWidget(m_statusPanel0, 1);
    StatusBar->addWidget(m_statusPanel1);
    m_uploadsPanel = new StatusPanel(StatusBar);
    m_uploadsPanel->setObjectName(QStringLiteral("UploadsWaitingPanel"));
    m_uploadsPanel->setFixedWidth(36);
    m_uploadsPanel->hide();
    StatusBar->addPermanentWidget(m_uploadsPanel);

    m_tabsLayout = new QVBoxLayout;
    m_tabsLayout->addWidget(PageControl1);
    auto *window = new QVBoxLayout(this);
    window->setContentsMargins(0, 0, 0, 0);
    window->setSpacing(0);
    window->addWidget(TopPanel);
    window->addWidget(Bevel1);
    window->addLayout(m_tabsLayout, 1);
    window->addWidget(StatusBar);

    m_uploadSettingsTimer = new QTimer(this);
    m_uploadSettingsTimer->setSingleShot(true);
    m_uploadSettingsTimer->setInterval(1000);
    connect(m_uploadSettingsTimer, &QTimer::timeout, this, [this] { sendUploadSettings(); });
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

    CardPresent = false;
    clearLog();

    // The reader list comes from the worker, which holds the PC/SC context.
    m_savedReader = stored.CardReader;
    setState(FormState::Starting);
    toWorker([worker = m_worker] { worker->listReaders(); });
    startHistory();
}

void TMainForm::readersListed(bool listed, const QStringList &readers)
{
    m_listingReaders = false;
    if (m_state != FormState::Starting) {
        // Work that started meanwhile may hold the card of the reader this list would replace.
        if (isBusy())
            m_readersChangedMeanwhile = true;
        else
            followReaderList(listed, readers);
        afterWork();
        return;
    }
    if (!listed) {
        SetCardInfo(QStringLiteral("čtečka nenalezena"));
        // A reader plugged in later, or a service started later, is seen by the monitor.
        startMonitor(QString());
        setState(FormState::Idle);
        afterWork();
        return;
    }
    ReaderCombo->clear();
    ReaderCombo->addItems(readers);
    ReaderCombo->setCurrentIndex(0);
    if (ReaderCombo->count() > 1) {
        const int saved = ReaderCombo->findText(m_savedReader, Qt::MatchFixedString);
        if (!m_savedReader.isEmpty() && saved >= 0)
            ReaderCombo->setCurrentIndex(saved);
    }
    ReaderButton->setText(QStringLiteral("Změnit"));
    startMonitor(ReaderCombo->currentText());
    setState(FormState::Idle);
    afterWork();
}

void TMainForm::requestReaderList()
{
    if (m_listingReaders || isBusy()) {
        m_readersChangedMeanwhile = true;
        return;
    }
    m_listingReaders = true;
    toWorker([worker = m_worker] { worker->listReaders(); });
}

// The stored reader is watched whenever it is listed; else the reader watched so far, while it
// is; else the first. A reader that goes is said in the status bar, and its card forgotten.
void TMainForm::followReaderList(bool listed, const QStringList &readers)
{
    const QStringList list = listed ? readers : QStringList();
    QStringList shown;
    for (int i = 0; i < ReaderCombo->count(); ++i)
        shown.append(ReaderCombo->itemText(i));
    if (list == shown)
        return;
    for (const QString &name : shown) {
        if (!list.contains(name))
            AddLog(QStringLiteral("Card reader removed: ") + name);
    }
    for (const QString &name : list) {
        if (!shown.contains(name))
            AddLog(QStringLiteral("Card reader added: ") + name);
    }

    const QString picked = ReaderCombo->currentText();
    ReaderCombo->clear();
    ReaderCombo->addItems(list);
    if (!m_watchedReader.isEmpty() && !list.contains(m_watchedReader)) {
        m_insertionPending = false;
        cardRemoved();
        SetStatus(QStringLiteral("Čtečka karet byla odpojena"));
    }
    if (list.isEmpty()) {
        m_choosingReader = false;
        ReaderButton->setText(QStringLiteral("Změnit"));
        SetCardInfo(QStringLiteral("čtečka nenalezena"));
        if (!m_watchedReader.isEmpty())
            startMonitor(QString());
        updateControls();
        return;
    }
    if (CardInfoLabel->text() == QStringLiteral("čtečka nenalezena"))
        SetCardInfo(QStringLiteral("není vložena žádná karta"));

    int index = -1;
    if (m_choosingReader) {
        // The user's pick stays; the monitor follows when it is confirmed.
        index = ReaderCombo->findText(picked);
    } else {
        if (!m_savedReader.isEmpty())
            index = ReaderCombo->findText(m_savedReader, Qt::MatchFixedString);
        if (index < 0)
            index = static_cast<int>(list.indexOf(m_watchedReader));
    }
    ReaderCombo->setCurrentIndex(std::max(index, 0));
    if (!m_choosingReader && ReaderCombo->currentText() != m_watchedReader) {
        m_insertionPending = false;
        cardRemoved();
        startMonitor(ReaderCombo->currentText());
    }
    updateControls();
}

void TMainForm::startMonitor(const QString &readerName)
{
    m_watchedReader = readerName;
    const std::uint32_t tag = ++m_monitorTag;
    toWorker([worker = m_worker, readerName, receiver = static_cast<TachoCard::CardStateReceiver *>(this), tag] {
        worker->startMonitor(readerName, receiver, tag);
    });
}

void TMainForm::FormDestroy()
{
    m_destroyed = true;
    stopWorker();

    StoredSettings settings = m_settingsPage->current();
    settings.Left = pos().x();
    settings.Top = pos().y();
    const SettingsWriteResult written = writeSettings(SettingsFileName, settings);
    if (!written.ok)
        throw ApplicationError(written.errorText);
}

// Changing the reader ends the connection to the card and forgets it: the card of the reader
// confirmed with "Vybrat" is identified afresh, and until then no card counts as present.
void TMainForm::ReaderButtonClick()
{
    if (isBusy())
        return;
    if (!m_choosingReader) {
        toWorker([worker = m_worker] { worker->disconnectCard(); });
        m_insertionPending = false;
        cardRemoved();
        m_choosingReader = true;
        ReaderButton->setText(QStringLiteral("Vybrat"));
    } else {
        m_choosingReader = false;
        ReaderButton->setText(QStringLiteral("Změnit"));
        m_savedReader = ReaderCombo->currentText();
        startMonitor(ReaderCombo->currentText());
    }
    updateControls();
}

void TMainForm::PathButtonClick()
{
    if (isBusy())
        return;
    m_settingsPage->chooseFolder();
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
    if (m_state == FormState::Asking && m_question)
        m_question->done(QMessageBox::No);
    if (isBusy()) {
        m_closePending = true;
        e->ignore();
        return;
    }
    if (!m_destroyed)
        runGuarded([this] { FormDestroy(); });
    e->accept();
}

void TMainForm::terminate()
{
    m_closePending = true;
    // Error boxes too: their nested loop would otherwise keep the program alive for nobody.
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible() && box != m_question)
            box->reject();
    }
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
        // The status bar lays its panels out in a layout of its own, which must count their new
        // widths before the window's does.
        if (QLayout *bar = StatusBar->layout(); bar != nullptr)
            bar->activate();
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
    if (WindowScale::toHold(minimumSize(), m_layoutScale) > m_layoutScale)
        fitLayout(WindowScale::toHold(minimumSize(), m_layoutScale));
}

void TMainForm::applyFontScale(double scale)
{
    using WindowScale::scaled;
    TopPanel->setFixedHeight(scaled(73, scale));
    m_topLayout->setContentsMargins(scaled(8, scale), scaled(8, scale), scaled(8, scale), scaled(8, scale));
    Image1->setFixedSize(scaled(91, scale), scaled(57, scale));
    // The title starts 152 from the window's edge, its cell 24 from the top.
    m_topLayout->setSpacing(scaled(152 - 8 - 91, scale));
    QFont titleFont = Label1->font();
    titleFont.setPixelSize(scaled(21, scale));
    Label1->setFont(titleFont);
    Label1->setContentsMargins(0, scaled(24 - 8, scale), 0, 0);
    Bevel1->setFixedHeight(2);
    m_tabsLayout->setContentsMargins(scaled(TabsSide, scale), scaled(TabsTop, scale), scaled(TabsSide, scale),
                                     scaled(TabsBottom, scale));
    m_cardPage->applyScale(scale);
    m_settingsPage->applyScale(scale);
    m_logPane->applyScale(scale);
    m_historyPage->applyScale(scale);
    const QFontMetrics metrics = fontMetrics();
    const int panelMargins = 2 * 2 + 2;
    StatusBar->setFixedHeight(std::max(scaled(StatusBarHeight, scale), metrics.height() + 2));
    m_statusPanel0->setMinimumWidth(widest(metrics, longestStatusTexts()) + panelMargins);
    m_statusPanel1->setFixedWidth(
            std::max(scaled(CardPanelWidth, scale), widest(metrics, CardPanelTexts) + panelMargins));
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
    if (e->type() == CardStateEvent::WM_CARD_STATE) {
        // A notice still queued when the window closed finds the card layer already released.
        if (m_destroyed)
            return true;
        const TachoCard::CardNotice notice = static_cast<CardStateEvent *>(e)->Notice;
        // A monitor that was replaced may still have been waiting on the former reader.
        if (notice.monitor != m_monitorTag)
            return true;
        runGuarded([this, &notice] {
            if (serviceAvailabilityChanged(notice.result))
                WMCardState(notice);
            if (notice.readersChanged)
                requestReaderList();
        });
        return true;
    }
    return QWidget::event(e);
}

void TMainForm::PostCardState(const TachoCard::CardNotice &notice)
{
    QCoreApplication::postEvent(this, new CardStateEvent(notice));
}

// The smart-card service can stop (an update, a crash, systemd's idle exit) and come back. While
// it is gone the card tab says so and counts no card as present; the monitor establishes a new
// context when the service is back, and its first notice then tells the reader's state afresh.
bool TMainForm::serviceAvailabilityChanged(std::uint32_t result)
{
    if (TachoCard::isServiceLost(result)) {
        if (!m_serviceLost) {
            m_serviceLost = true;
            m_insertionPending = false;
            cardRemoved();
            m_statusBeforeOutage = statusText(0);
            SetStatus(QStringLiteral("Služba čipových karet není dostupná"));
        }
        return false;
    }
    if (m_serviceLost && result == 0) {
        m_serviceLost = false;
        // The service's message goes, and what it covered comes back: a reader that went with the
        // old service is still for the user to read, whichever of the two was noticed first.
        if (statusText(0) == QStringLiteral("Služba čipových karet není dostupná"))
            SetStatus(std::exchange(m_statusBeforeOutage, QString()));
    }
    return true;
}

// Notices become edges through CardPresent and the reader's event counter: only the first notice
// that shows a card identifies it, only the first that shows none resets the card tab, and a
// notice that shows a card under a counter that has moved on since is another card, however late
// it is handled.
void TMainForm::WMCardState(const TachoCard::CardNotice &notice)
{
    if ((notice.eventState & SCARD_STATE_CHANGED) == 0)
        return;
    // The monitor still watches the former reader while another is being chosen.
    if (m_choosingReader)
        return;
    if ((notice.eventState & SCARD_STATE_PRESENT) == 0) {
        m_insertionPending = false;
        cardRemoved();
        return;
    }
    const std::uint32_t counter = notice.eventCounter();
    if (CardPresent && counter == m_cardCounter)
        return;
    if (m_insertionPending && counter == m_pendingCounter)
        return;
    cardRemoved();
    if (isBusy()) {
        // Identifying it now would replace the download being built or sent.
        m_insertionPending = true;
        m_pendingCounter = counter;
        return;
    }
    cardInserted(counter, false);
}

void TMainForm::cardInserted(std::uint32_t counter, bool deferred)
{
    CardPresent = true;
    m_cardCounter = counter;
    // After work that this card waited for, that work's outcome stays in the status bar for the
    // user to read, once the card has been identified.
    if (deferred)
        m_statusToKeep = statusText(0);
    else
        SetStatus(QString());
    setCardPanel(QStringLiteral("Karta vložena"));
    IdentifyCard();
}

void TMainForm::cardRemoved()
{
    if (!CardPresent)
        return;
    CardPresent = false;
    m_cardIdentified = false;
    setCardPanel(QString());
    SetCardInfo(QStringLiteral("není vložena žádná karta"));
    if (m_state == FormState::Ready)
        setState(FormState::Idle);
}

bool TMainForm::isBusy() const
{
    switch (m_state) {
    case FormState::Idle:
    case FormState::Ready:
        return false;
    case FormState::Starting:
    case FormState::Identifying:
    case FormState::Running:
    case FormState::Asking:
    case FormState::Uploading:
        break;
    }
    return true;
}

void TMainForm::setState(FormState state)
{
    m_state = state;
    updateControls();
}

void TMainForm::updateControls()
{
    const bool busy = isBusy();
    CardReadButton->setEnabled(m_state == FormState::Ready);
    ReaderButton->setEnabled(!busy && ReaderCombo->count() > 1);
    ReaderCombo->setEnabled(!busy && m_choosingReader);
    PathButton->setEnabled(!busy);
}

void TMainForm::afterWork()
{
    if (isBusy())
        return;
    if (m_closePending) {
        close();
        return;
    }
    if (std::exchange(m_readersChangedMeanwhile, false))
        requestReaderList();
    if (std::exchange(m_insertionPending, false))
        cardInserted(m_pendingCounter, true);
}

void TMainForm::ReadCardFile(const QString &FileTitle, std::uint16_t FileId, bool Signed)
{
    toWorker([worker = m_worker, FileTitle, FileId, Signed] { worker->readCardFile(FileTitle, FileId, Signed); });
}

void TMainForm::IdentifyCard()
{
    m_cardIdentified = false;
    setState(FormState::Identifying);
    toWorker([worker = m_worker] { worker->identifyCard(); });
}

void TMainForm::identificationFinished()
{
    if (!CardPresent) {
        // Pulled while it was being identified: what the identification showed is stale.
        setCardPanel(QString());
        SetCardInfo(QStringLiteral("není vložena žádná karta"));
    }
    setState(CardPresent && m_cardIdentified ? FormState::Ready : FormState::Idle);
    if (const std::optional<QString> kept = std::exchange(m_statusToKeep, std::nullopt);
        kept && m_state == FormState::Ready)
        SetStatus(*kept);
    afterWork();
}

void TMainForm::setDownloadClock(std::function<QDateTime()> clock)
{
    toWorker([worker = m_worker, clock = std::move(clock)] { worker->setClock(clock); });
}

void TMainForm::AddLog(const QString &Text)
{
    m_logPane->append(Text);
}

void TMainForm::SetStatus(const QString &Text)
{
    m_statusPanel0->setText(Text);
}

void TMainForm::SetCardInfo(const QString &Text)
{
    CardInfoLabel->setText(Text);
    // The line belongs to the holder shown; the worker sends it after the holder.
    CardHistoryLabel->clear();
}

QString TMainForm::statusText(int panel) const
{
    return (panel == 0 ? m_statusPanel0 : m_statusPanel1)->text();
}

void TMainForm::setCardPanel(const QString &text)
{
    m_statusPanel1->setText(text);
}

// The read button itself follows the window's state: the logic's word says whether the card it
// identified may be read once the identification has ended.
void TMainForm::setReadButtonEnabled(bool enabled)
{
    m_cardIdentified = enabled;
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
    if (m_state != FormState::Ready)
        return;
    setState(FormState::Running);
    toWorker([worker = m_worker, folder = SettingsPathEdit->text()] { worker->runDownload(folder); });
}

void TMainForm::runFinished(const DownloadRunResult &result)
{
    m_cardIdentified = false;
    if (result.outcome == DownloadRunResult::Outcome::Complete && !m_closePending) {
        setState(FormState::Asking);
        m_verification = result.verification;
        OfferUpload(result.fileName);
        return;
    }
    if (result.outcome == DownloadRunResult::Outcome::Complete)
        uploadNotSent(false);
    setState(FormState::Idle);
    if (result.outcome == DownloadRunResult::Outcome::WriteFailed)
        ShowApplicationError(result.errorText);
    afterWork();
}

// The question is open without blocking anything: card notices are handled meanwhile, and a
// termination request answers it No.
void TMainForm::OfferUpload(const QString &FileName)
{
    // A file whose signatures do not verify may still be wanted (the office decides), but it is
    // said so, and sending it takes a deliberate "Ano".
    const bool verified = m_verification.performed && m_verification.overall != Overall::Failed;
    const QString text = verified || !m_verification.performed
            ? QStringLiteral("Odeslat soubor na server?")
            : QStringLiteral("Podpisy souboru nejsou ověřeny (%1).\nOdeslat soubor na server?")
                      .arg(m_verification.failedItem);
    auto *question =
            new QMessageBox(verified || !m_verification.performed ? QMessageBox::Question : QMessageBox::Warning,
                            ApplicationTitle, text, QMessageBox::Yes | QMessageBox::No, this);
    question->setDefaultButton(verified || !m_verification.performed ? QMessageBox::Yes : QMessageBox::No);
    question->setObjectName(QStringLiteral("UploadQuestion"));
    question->setAttribute(Qt::WA_DeleteOnClose);
    connect(question, &QMessageBox::finished, this, [this, FileName](int answer) {
        runGuarded([&] { questionAnswered(FileName, answer == QMessageBox::Yes); });
    });
    m_question = question;
    question->open();
}

void TMainForm::questionAnswered(const QString &fileName, bool yes)
{
    m_question = nullptr;
    if (!yes || m_closePending) {
        uploadNotSent(!yes);
        setState(FormState::Idle);
        afterWork();
        return;
    }
    if (SettingsCompanyEdit->text().isEmpty() || SettingsUserEdit->text().isEmpty()
        || SettingsPasswordEdit->text().isEmpty()) {
        SetStatus(QStringLiteral("Nelze odeslat soubor na server, chybí přihlašovací údaje"));
        uploadNotSent(false);
        setState(FormState::Idle);
        afterWork();
        return;
    }
    UploadFile(fileName);
}

void TMainForm::UploadFile(const QString &FileName)
{
    setState(FormState::Uploading);
    UploadRequest request;
    request.company = SettingsCompanyEdit->text();
    request.user = SettingsUserEdit->text();
    request.password = SettingsPasswordEdit->text();
    request.fileName = FileName;
    request.limits = UploadLimits;
    toWorker([worker = m_worker, request] { worker->uploadFile(request); });
}

void TMainForm::uploadFinished()
{
    setState(FormState::Idle);
    afterWork();
}

// --- The history tab, the card's line and the upload queue ---

void TMainForm::connectHistory()
{
    connect(m_worker, &CardWorker::cardHistoryFound, this, [this](const QString &line) {
        // A line that comes after the card has gone belongs to nobody.
        if (CardPresent)
            CardHistoryLabel->setText(line);
    });
    connect(m_worker, &CardWorker::uploadsWaiting, this, [this](int count) { showUploadsWaiting(count); });
    connect(m_worker, &CardWorker::historyChanged, m_historyPage, &HistoryPage::markStale);
    connect(m_worker, &CardWorker::historyLoaded, m_historyPage,
            [this](const HistorySnapshot &snapshot) { runGuarded([&] { m_historyPage->showSnapshot(snapshot); }); });
    connect(m_historyPage, &HistoryPage::loadRequested, m_worker, [worker = m_worker] { worker->loadHistory(); });
}

// After the settings have been read: the worker opens the history at its thread and the queue
// starts with the credentials of the settings file.
void TMainForm::startHistory()
{
    const UploadCredentials credentials{SettingsCompanyEdit->text(), SettingsUserEdit->text(),
                                        SettingsPasswordEdit->text()};
    toWorker([worker = m_worker, path = HistoryStore::defaultPath(), credentials, limits = UploadLimits] {
        worker->openHistory(path, credentials, limits);
    });
    connect(m_settingsPage, &SettingsPage::credentialsEdited, m_uploadSettingsTimer, qOverload<>(&QTimer::start));
}

void TMainForm::sendUploadSettings()
{
    const UploadCredentials credentials{SettingsCompanyEdit->text(), SettingsUserEdit->text(),
                                        SettingsPasswordEdit->text()};
    toWorker([worker = m_worker, credentials, limits = UploadLimits] {
        worker->setUploadSettings(credentials, limits);
    });
}

void TMainForm::uploadNotSent(bool declined)
{
    toWorker([worker = m_worker, declined] { worker->uploadNotSent(declined); });
}

void TMainForm::showUploadsWaiting(int count)
{
    m_uploadsWaiting = count;
    m_uploadsPanel->setText(count > 0 ? QStringLiteral("↑ %1").arg(count) : QString());
    m_uploadsPanel->setToolTip(count > 0 ? QStringLiteral("Souborů čekajících na odeslání na server: %1").arg(count)
                                         : QString());
    m_uploadsPanel->setVisible(count > 0);
}
