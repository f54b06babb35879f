#pragma once

#include "card/TachoCard.h"
#include "download/CardDownload.h"
#include "download/DownloadReporter.h"
#include "upload/HttpClient.h"
#include "upload/Upload.h"
#include "upload/UploadReporter.h"

#include <QDateTime>
#include <QEvent>
#include <QPointer>
#include <QThread>
#include <QWidget>

#include <functional>
#include <optional>

class QComboBox;
class QFrame;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QTableView;
class QTimer;
class QVBoxLayout;
class CardPage;
class HistoryPage;
class LogPane;
class RunProgressBar;
class SettingsPage;
class StatusPanel;
class TOpenDirDialog;
class CardWorker;
struct HistorySnapshot;

// The notice that the card presence monitor posts to the window after each wait.
class CardStateEvent : public QEvent
{
public:
    static constexpr QEvent::Type WM_CARD_STATE = static_cast<QEvent::Type>(0x42A);

    explicit CardStateEvent(const TachoCard::CardNotice &notice)
        : QEvent(WM_CARD_STATE)
        , Notice(notice)
    { }
    const TachoCard::CardNotice Notice;
};

class TMainForm : public QWidget, public DownloadReporter, public UploadReporter, public TachoCard::CardStateReceiver
{
    Q_OBJECT
    // For tools that find the window by its object name only.
    Q_PROPERTY(bool busy READ isBusy)

public:
    // What the window is doing. Card and network work run on the worker; while any runs, nothing
    // that could disturb it can be clicked, a card inserted meanwhile waits, and a close waits.
    enum class FormState {
        Starting, // the reader list is being read
        Idle, // no card ready to be read
        Identifying,
        Ready, // an identified card: the read button is enabled
        Running, // a download run
        Asking, // the upload question is open
        Uploading,
    };

    explicit TMainForm(QWidget *parent = nullptr);
    ~TMainForm() override;

    // Reporting operations, on the window's thread.
    void AddLog(const QString &Text) override;
    void SetStatus(const QString &Text) override;
    void SetCardInfo(const QString &Text) override;

    QString statusText(int panel) const;
    // How much larger than its design the window opens, for the font in use.
    double layoutScale() const { return m_layoutScale; }
    // Adds the lines AddLog gathered to LogMemo now rather than when window events next run.
    void flushLog();

    FormState state() const { return m_state; }
    bool isBusy() const;
    // A card was inserted while work ran; it is identified when the work has ended.
    bool cardWaiting() const { return m_insertionPending; }

    // Card operations: each hands its work to the worker and returns at once; the outcome comes
    // back through the reporting operations and the end of the work.
    void ReadCardFile(const QString &FileTitle, std::uint16_t FileId, bool Signed);
    void IdentifyCard();
    void CardReadButtonClick();
    void OfferUpload(const QString &FileName);
    void UploadFile(const QString &FileName);
    void ReaderButtonClick();
    void PathButtonClick();

    // A termination request (SIGTERM, logout): the upload question is answered No, and the window
    // closes as soon as running work has ended.
    void terminate();

    // The local time that names download files; tests fix it. The history's times and the
    // 28-day rule follow the same clock.
    void setDownloadClock(std::function<QDateTime()> clock);

    // How many chosen files wait in the upload queue, as the status bar shows.
    int uploadsWaiting() const { return m_uploadsWaiting; }

    static QString EncodeSettingValue(const QString &Text);
    static QString DecodeSettingValue(const QString &Stored);

    // Controls, named as their object names.
    QWidget *TopPanel = nullptr;
    QLabel *Image1 = nullptr;
    QLabel *Label1 = nullptr;
    QFrame *Bevel1 = nullptr;
    QTabWidget *PageControl1 = nullptr;
    QWidget *CardSheet = nullptr;
    QLabel *CardInfoLabel = nullptr;
    QPushButton *CardReadButton = nullptr;
    // How far a download run has come; hidden when no run is in progress.
    RunProgressBar *CardProgressBar = nullptr;
    QWidget *SettingsSheet = nullptr;
    QGroupBox *GroupBox1 = nullptr;
    QComboBox *ReaderCombo = nullptr;
    QPushButton *ReaderButton = nullptr;
    QGroupBox *GroupBox3 = nullptr;
    QLineEdit *SettingsPathEdit = nullptr;
    QPushButton *PathButton = nullptr;
    QGroupBox *GroupBox2 = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *SettingsCompanyEdit = nullptr;
    QLabel *Label4 = nullptr;
    QLineEdit *SettingsUserEdit = nullptr;
    QLabel *Label5 = nullptr;
    QLineEdit *SettingsPasswordEdit = nullptr;
    // Under the holder: the card's last complete download and whether it is due.
    QLabel *CardHistoryLabel = nullptr;
    QWidget *HistorySheet = nullptr;
    QTableView *HistoryDriversView = nullptr;
    QTableView *HistoryDownloadsView = nullptr;
    QPushButton *HistoryFolderButton = nullptr;
    QLabel *HistoryErrorLabel = nullptr;
    QWidget *LogSheet = nullptr;
    QPlainTextEdit *LogMemo = nullptr;
    QStatusBar *StatusBar = nullptr;
    TOpenDirDialog *OpenDirDialog = nullptr;

    bool CardPresent = false;
    QString SettingsFileName;
    // Time limits of the upload's exchange; tests shorten them.
    HttpLimits UploadLimits;

signals:
    // The worker has read one file for ReadCardFile.
    void cardFileRead(bool done);

protected:
    bool event(QEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void createControls();
    void startWorker();
    void stopWorker();
    void FormCreate();
    void FormDestroy();
    // Sizes the window for the font in use: the design at the smallest scale at which every
    // control has the room it asks for.
    void fitLayoutToFont();
    void fitLayout(double scale);
    void applyFontScale(double scale);
    void growForContents();
    void WMCardState(const TachoCard::CardNotice &notice);
    bool serviceAvailabilityChanged(std::uint32_t result);
    void cardInserted(std::uint32_t counter, bool deferred);
    void cardRemoved();
    void startMonitor(const QString &readerName);

    // The one place that changes the state; every control's enabled state follows from it.
    void setState(FormState state);
    void updateControls();
    // Work has ended: what waited for that (a close, a card inserted meanwhile) runs now.
    void afterWork();

    void readersListed(bool listed, const QStringList &readers);
    // Readers came or went after the start: the list is read again once no work runs.
    void requestReaderList();
    void followReaderList(bool listed, const QStringList &readers);
    void identificationFinished();
    void runFinished(const DownloadRunResult &result);
    void questionAnswered(const QString &fileName, bool yes);
    void uploadFinished();

    // The history and the upload queue: the worker owns both; the window shows snapshots.
    void connectHistory();
    void startHistory();
    void showUploadsWaiting(int count);
    void sendUploadSettings();
    void uploadNotSent(bool declined);

    // DownloadReporter
    void setCardPanel(const QString &text) override;
    void setReadButtonEnabled(bool enabled) override;
    void clearLog() override;
    void setProgress(int done, int total) override;

    // CardStateReceiver: called on the monitor thread.
    void PostCardState(const TachoCard::CardNotice &notice) override;

    // Runs call on the worker's thread, after the work queued before it.
    template<typename Call>
    void toWorker(Call call);

    FormState m_state = FormState::Starting;
    DownloadVerification m_verification; // of the download the upload question is about
    QThread m_workerThread;
    CardWorker *m_worker = nullptr;
    QPointer<QMessageBox> m_question;
    // The stored reader: from the settings, then the one last confirmed with "Vybrat". Whenever it
    // is listed, it is the one watched.
    QString m_savedReader;
    // The reader the monitor watches; empty while none is listed.
    QString m_watchedReader;
    bool m_listingReaders = false;
    bool m_readersChangedMeanwhile = false;
    bool m_choosingReader = false;
    // The last identification found a tachograph card and read its holder.
    bool m_cardIdentified = false;
    // The notices of the monitor started last carry this tag; older ones are dropped.
    std::uint32_t m_monitorTag = 0;
    // The reader's event counter when the card shown was inserted.
    std::uint32_t m_cardCounter = 0;
    // A card inserted while work ran, to be identified when it has ended.
    bool m_insertionPending = false;
    std::uint32_t m_pendingCounter = 0;
    // The status text an identification that waited for other work restores when it succeeds.
    std::optional<QString> m_statusToKeep;
    bool m_closePending = false;
    bool m_serviceLost = false;
    QString m_statusBeforeOutage;
    StatusPanel *m_statusPanel0 = nullptr;
    StatusPanel *m_statusPanel1 = nullptr;
    bool m_destroyed = false;
    double m_layoutScale = 1.0;
    QHBoxLayout *m_topLayout = nullptr;
    QVBoxLayout *m_tabsLayout = nullptr;
    CardPage *m_cardPage = nullptr;
    SettingsPage *m_settingsPage = nullptr;
    LogPane *m_logPane = nullptr;
    HistoryPage *m_historyPage = nullptr;
    StatusPanel *m_uploadsPanel = nullptr;
    // The settings edits' texts go to the queue once typing has paused, not at every key.
    QTimer *m_uploadSettingsTimer = nullptr;
    int m_uploadsWaiting = 0;
};
