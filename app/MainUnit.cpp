#include "app/MainUnit.h"

#include "app/CardWorker.h"
#include "app/ErrorDisplay.h"
#include "app/OpenDirDialog.h"
#include "app/RunProgressBar.h"
#include "app/SessionController.h"
#include "app/SettingsLocation.h"
#include "app/SettingsStore.h"
#include "app/StatusPanel.h"
#include "app/Windows1250Validator.h"
#include "history/DownloadsModel.h"
#include "history/DriversModel.h"
#include "history/HistoryStore.h"
#include "upload/Upload.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdio>

namespace {

constexpr int ClientWidth = 417;
constexpr int ClientHeight = 362;
constexpr int StatusBarHeight = 19;
constexpr int CardPanelWidth = 80;
constexpr int StatusPanelMargin = 120;

// The design's cell height: an 8-point Windows font at 96 dots per inch.
constexpr double DesignFontHeight = 13.0;
// Where the design puts a control, kept on it so that the layout can be drawn again at any scale.
const char *const DesignGeometry = "designGeometry";
// A label's design position: its size follows its text.
const char *const DesignPosition = "designPosition";

template<typename Widget>
Widget *place(Widget *widget, const char *name, int left, int top, int width, int height)
{
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(left, top, width, height);
    widget->setProperty(DesignGeometry, QRect(left, top, width, height));
    return widget;
}

QLabel *placeLabel(QWidget *parent, const char *name, const QString &text, int left, int top)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->adjustSize();
    label->move(left, top);
    label->setProperty(DesignPosition, QPoint(left, top));
    return label;
}

int scaled(int length, double scale)
{
    return static_cast<int>(std::lround(length * scale));
}

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
const QStringList CardInfoTexts{QStringLiteral("není vložena žádná karta"),
                                QStringLiteral("vložená karta nebyla rozpoznána"),
                                QStringLiteral("načítám informace..."), QStringLiteral("čtečka nenalezena")};

double widestRatio(const QFontMetrics &metrics, const QStringList &texts, int extra, int available)
{
    int widest = 0;
    for (const QString &text : texts)
        widest = std::max(widest, metrics.horizontalAdvance(text));
    return available > 0 ? (widest + extra) / static_cast<double>(available) : 1.0;
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
}

void TMainForm::connectSession()
{
    m_session->startWorkers();
    connect(m_session, &SessionController::controlsChanged, this, &TMainForm::updateControls);
    connect(m_session, &SessionController::statusChanged, this,
            [this](const QString &text) { m_statusPanel0->setText(text); });
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
    TopPanel = place(new QWidget(this), "TopPanel", 0, 0, ClientWidth, 73);
    TopPanel->setAutoFillBackground(true);
    QPalette white = TopPanel->palette();
    white.setColor(QPalette::Window, Qt::white);
    TopPanel->setPalette(white);

    Image1 = place(new QLabel(TopPanel), "Image1", 8, 8, 91, 57);
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
    // The holder's name is the card's bytes: a "<b>" among them is text, not markup.
    CardInfoLabel->setTextFormat(Qt::PlainText);
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
    createHistoryControls();
}

void TMainForm::FormCreate()
{
    // The desktop's general font, which the application takes from the desktop's settings.
    setFont(QApplication::font());
    fitLayoutToFont();

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

    clearLog();

    m_session->start(stored.CardReader);
    startHistory();
}

void TMainForm::FormDestroy()
{
    m_destroyed = true;
    m_session->stop();

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
    OpenDirDialog->setPath(SettingsPathEdit->text());
    if (OpenDirDialog->Execute())
        SettingsPathEdit->setText(OpenDirDialog->Path());
}

void TMainForm::closeEvent(QCloseEvent *e)
{
    if (state() == FormState::Asking && m_question)
        m_question->done(QMessageBox::No);
    if (isBusy()) {
        m_session->closeWhenIdle();
        e->ignore();
        return;
    }
    if (!m_destroyed)
        runGuarded([this] { FormDestroy(); });
    e->accept();
}

void TMainForm::terminate()
{
    m_session->closeWhenIdle();
    // Error boxes too: their nested loop would otherwise keep the program alive for nobody.
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible() && box != m_question)
            box->reject();
    }
    close();
}

void TMainForm::resizeEvent(QResizeEvent *e)
{
    QWidget::resizeEvent(e);
    FormResize();
}

void TMainForm::FormResize()
{
    m_statusPanel0->setFixedWidth(std::max(0, width() - scaled(StatusPanelMargin, m_layoutScale)));
}

// The design is drawn for an 8-point Windows font; Linux desktops use larger fonts, and scaling of
// 125 % or more. The window and every control grow in proportion, keeping the design, by as much
// as the font's cell and the widest text of any control need.
void TMainForm::fitLayoutToFont()
{
    double scale = std::max(1.0, fontMetrics().height() / DesignFontHeight);
    for (int pass = 0; pass < 8; ++pass) {
        layoutAt(scale);
        const double needed = scaleNeeded();
        if (needed <= 1.0)
            break;
        scale *= needed;
    }
}

void TMainForm::layoutAt(double scale)
{
    m_layoutScale = scale;
    setFixedSize(scaled(ClientWidth, scale), scaled(ClientHeight, scale));
    for (QWidget *widget : findChildren<QWidget *>()) {
        if (const QVariant design = widget->property(DesignGeometry); design.isValid()) {
            const QRect rect = design.toRect();
            widget->setGeometry(scaled(rect.left(), scale), scaled(rect.top(), scale), scaled(rect.width(), scale),
                                scaled(rect.height(), scale));
        }
    }
    QFont titleFont = Label1->font();
    titleFont.setPixelSize(scaled(21, scale));
    Label1->setFont(titleFont);
    Label1->adjustSize();
    Label1->move(scaled(152, scale), scaled(24, scale));
    for (QLabel *label : findChildren<QLabel *>()) {
        if (const QVariant design = label->property(DesignPosition); design.isValid()) {
            label->adjustSize();
            label->move(scaled(design.toPoint().x(), scale), scaled(design.toPoint().y(), scale));
        }
    }
    StatusBar->setGeometry(0, height() - scaled(StatusBarHeight, scale), width(), scaled(StatusBarHeight, scale));
    m_statusPanel1->setFixedWidth(scaled(CardPanelWidth, scale));
    FormResize();
}

// How much larger the layout must be for every text to fit where it stands: 1 when it fits.
double TMainForm::scaleNeeded() const
{
    const QFontMetrics metrics = fontMetrics();
    double needed = 0.0;
    auto need = [&needed](int wanted, int available) {
        if (available > 0)
            needed = std::max(needed, wanted / static_cast<double>(available));
    };
    for (QWidget *widget : findChildren<QWidget *>()) {
        if (!widget->property(DesignGeometry).isValid())
            continue;
        if (qobject_cast<QPushButton *>(widget) || qobject_cast<QLineEdit *>(widget)
            || qobject_cast<QComboBox *>(widget)) {
            need(widget->sizeHint().height(), widget->height());
            if (qobject_cast<QPushButton *>(widget))
                need(widget->sizeHint().width(), widget->width());
        }
        if (auto *box = qobject_cast<QGroupBox *>(widget)) {
            need(box->minimumSizeHint().width(), box->width());
            // The controls inside start below the title.
            need(metrics.height() + 4, scaled(20, m_layoutScale) - 1);
        }
    }
    // The labels of the credentials end before their edits, which start at 104.
    for (QLabel *label : findChildren<QLabel *>()) {
        if (label->property(DesignPosition).isValid()) {
            need(label->x() + label->width() + 4, scaled(104, m_layoutScale));
            need(label->height(), scaled(21, m_layoutScale));
        }
    }
    need(Label1->x() + Label1->width(), width() - scaled(8, m_layoutScale));
    needed = std::max(needed, widestRatio(metrics, CardInfoTexts, 4, CardInfoLabel->width()));
    need(metrics.height(), CardInfoLabel->height());
    need(PageControl1->tabBar()->sizeHint().width(), PageControl1->width() - 4);
    // The settings tab's controls, the deepest of the tabs, below the tabs themselves.
    need(PageControl1->tabBar()->sizeHint().height() + scaled(213, m_layoutScale) + 6, PageControl1->height());
    need(SettingsPathEdit->fontMetrics().horizontalAdvance(SettingsPathEdit->text()) + 12, SettingsPathEdit->width());
    const int panelMargins = 2 * 2 + 2;
    needed = std::max(needed, widestRatio(metrics, longestStatusTexts(), panelMargins, m_statusPanel0->width()));
    needed = std::max(needed, widestRatio(metrics, CardPanelTexts, panelMargins, m_statusPanel1->width()));
    need(metrics.height() + 2, StatusBar->height());
    return needed;
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
    m_session->setStatus(Text);
}

void TMainForm::SetCardInfo(const QString &Text)
{
    m_session->setCardInfo(Text);
}

QString TMainForm::statusText(int panel) const
{
    return (panel == 0 ? m_statusPanel0 : m_statusPanel1)->text();
}

void TMainForm::setCardPanel(const QString &text)
{
    m_statusPanel1->setText(text);
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

namespace {

void setUpHistoryView(QTableView *view, QAbstractItemModel *model, int sortColumn, Qt::SortOrder order,
                      std::initializer_list<int> widths)
{
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setAlternatingRowColors(true);
    view->setWordWrap(false);
    view->verticalHeader()->hide();
    // Fixed heights and widths: measuring ten thousand rows would make the user wait.
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    view->horizontalHeader()->setStretchLastSection(true);
    int column = 0;
    for (const int width : widths)
        view->setColumnWidth(column++, width);
    view->horizontalHeader()->setSortIndicator(sortColumn, order);
    view->setSortingEnabled(true);
}

// The model's rows in the order the view's header asks for.
void sortAsShown(QTableView *view)
{
    const QHeaderView *header = view->horizontalHeader();
    view->model()->sort(header->sortIndicatorSection(), header->sortIndicatorOrder());
}

} // namespace

void TMainForm::createHistoryControls()
{
    CardHistoryLabel = place(new QLabel(CardSheet), "CardHistoryLabel", 8, 104, 377, 15);
    CardHistoryLabel->setAlignment(Qt::AlignCenter);
    CardHistoryLabel->setTextFormat(Qt::PlainText);

    HistorySheet = new QWidget;
    HistorySheet->setObjectName(QStringLiteral("HistorySheet"));
    PageControl1->addTab(HistorySheet, QStringLiteral("Historie"));
    auto *layout = new QVBoxLayout(HistorySheet);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);
    HistoryErrorLabel = new QLabel(
            QStringLiteral("Historii vyčítání nelze načíst, podrobnosti jsou v ladících informacích."), HistorySheet);
    HistoryErrorLabel->setObjectName(QStringLiteral("HistoryErrorLabel"));
    HistoryErrorLabel->setWordWrap(true);
    HistoryErrorLabel->hide();
    layout->addWidget(HistoryErrorLabel);

    auto *splitter = new QSplitter(Qt::Vertical, HistorySheet);
    splitter->setObjectName(QStringLiteral("HistorySplitter"));
    splitter->setChildrenCollapsible(false);
    m_driversModel = new DriversModel(this);
    m_driversModel->setObjectName(QStringLiteral("HistoryDriversModel"));
    HistoryDriversView = new QTableView(splitter);
    HistoryDriversView->setObjectName(QStringLiteral("HistoryDriversView"));
    // Most overdue first: never downloaded, then the oldest download.
    setUpHistoryView(HistoryDriversView, m_driversModel, DriversModel::DaysSince, Qt::DescendingOrder,
                     {130, 120, 120, 95});
    m_downloadsModel = new DownloadsModel(this);
    m_downloadsModel->setObjectName(QStringLiteral("HistoryDownloadsModel"));
    HistoryDownloadsView = new QTableView(splitter);
    HistoryDownloadsView->setObjectName(QStringLiteral("HistoryDownloadsView"));
    setUpHistoryView(HistoryDownloadsView, m_downloadsModel, DownloadsModel::Time, Qt::DescendingOrder,
                     {110, 130, 110, 55, 260, 80, 120});
    layout->addWidget(splitter, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    HistoryFolderButton = new QPushButton(QStringLiteral("Otevřít složku"), HistorySheet);
    HistoryFolderButton->setObjectName(QStringLiteral("HistoryFolderButton"));
    HistoryFolderButton->setEnabled(false);
    buttons->addWidget(HistoryFolderButton);
    layout->addLayout(buttons);

    connect(HistoryFolderButton, &QPushButton::clicked, this, [this] { runGuarded([this] { openDownloadFolder(); }); });
    connect(HistoryDownloadsView, &QAbstractItemView::doubleClicked, this,
            [this] { runGuarded([this] { openDownloadFolder(); }); });
    connect(HistoryDownloadsView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { HistoryFolderButton->setEnabled(HistoryDownloadsView->selectionModel()->hasSelection()); });
    connect(PageControl1, &QTabWidget::currentChanged, this, [this] {
        if (PageControl1->currentWidget() == HistorySheet && m_historyStale)
            requestHistory();
    });

    m_uploadsPanel = new StatusPanel(StatusBar);
    m_uploadsPanel->setObjectName(QStringLiteral("UploadsWaitingPanel"));
    m_uploadsPanel->setFixedWidth(36);
    m_uploadsPanel->hide();
    StatusBar->addPermanentWidget(m_uploadsPanel);

    m_uploadSettingsTimer = new QTimer(this);
    m_uploadSettingsTimer->setSingleShot(true);
    m_uploadSettingsTimer->setInterval(1000);
    connect(m_uploadSettingsTimer, &QTimer::timeout, this, [this] { sendUploadSettings(); });
}

void TMainForm::connectHistory()
{
    CardWorker *worker = m_session->cardWorker();
    connect(worker, &CardWorker::cardHistoryFound, this, [this](const QString &line) {
        // A line that comes after the card has gone belongs to nobody.
        if (cardPresent())
            CardHistoryLabel->setText(line);
    });
    connect(worker, &CardWorker::uploadsWaiting, this, [this](int count) { showUploadsWaiting(count); });
    connect(worker, &CardWorker::historyChanged, this, [this] {
        m_historyStale = true;
        if (PageControl1->currentWidget() == HistorySheet)
            requestHistory();
    });
    connect(worker, &CardWorker::historyLoaded, this,
            [this](const HistorySnapshot &snapshot) { runGuarded([&] { historyLoaded(snapshot); }); });
}

// After the settings have been read: the worker opens the history at its thread and the queue
// starts with the credentials of the settings file.
void TMainForm::startHistory()
{
    const UploadCredentials credentials{SettingsCompanyEdit->text(), SettingsUserEdit->text(),
                                        SettingsPasswordEdit->text()};
    m_session->openHistory(HistoryStore::defaultPath(), credentials, UploadLimits);
    for (QLineEdit *edit : {SettingsCompanyEdit, SettingsUserEdit, SettingsPasswordEdit})
        connect(edit, &QLineEdit::textChanged, m_uploadSettingsTimer, qOverload<>(&QTimer::start));
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
    m_uploadsPanel->setText(count > 0 ? QStringLiteral("↑ %1").arg(count) : QString());
    m_uploadsPanel->setToolTip(count > 0 ? QStringLiteral("Souborů čekajících na odeslání na server: %1").arg(count)
                                         : QString());
    m_uploadsPanel->setVisible(count > 0);
}

void TMainForm::requestHistory()
{
    // One load at a time: a change meanwhile loads again when this one has come.
    if (m_historyRequested)
        return;
    m_historyRequested = true;
    m_historyStale = false;
    m_session->loadHistory();
}

void TMainForm::historyLoaded(const HistorySnapshot &snapshot)
{
    m_historyRequested = false;
    HistoryErrorLabel->setVisible(!snapshot.error.isEmpty());
    // The selected download stays selected across a reload.
    const QModelIndexList selected = HistoryDownloadsView->selectionModel()->selectedRows();
    const qint64 selectedId = selected.isEmpty() ? 0 : m_downloadsModel->row(selected.front().row()).id;
    m_driversModel->setRows(snapshot.drivers);
    m_downloadsModel->setRows(snapshot.downloads);
    sortAsShown(HistoryDriversView);
    sortAsShown(HistoryDownloadsView);
    if (selectedId != 0) {
        for (int row = 0; row < m_downloadsModel->rowCount(); ++row) {
            if (m_downloadsModel->row(row).id == selectedId) {
                HistoryDownloadsView->selectRow(row);
                break;
            }
        }
    }
    HistoryFolderButton->setEnabled(HistoryDownloadsView->selectionModel()->hasSelection());
    if (m_historyStale && PageControl1->currentWidget() == HistorySheet)
        requestHistory();
}

void TMainForm::openDownloadFolder()
{
    const QModelIndexList selected = HistoryDownloadsView->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    const QString folder = m_downloadsModel->folderAt(selected.front().row());
    if (folder.isEmpty() || !QDir(folder).exists()) {
        SetStatus(QStringLiteral("Složka %1 už neexistuje").arg(folder));
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        SetStatus(QStringLiteral("Složku %1 nelze otevřít").arg(folder));
}
