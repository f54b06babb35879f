#pragma once

#include "app/SessionState.h"
#include "app/SettingsStore.h"
#include "upload/HttpClient.h"

#include <QDateTime>
#include <QPointer>
#include <QWidget>

#include <functional>

class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QTableView;
class QVBoxLayout;
class CardPage;
class HistoryPage;
class LogPane;
class RunProgressBar;
class SettingsPage;
class StatusLine;
class TitlePanel;
class TOpenDirDialog;
class SessionController;
struct HistorySnapshot;
struct UploadRequest;

// The window: it shows what the session controller signals and hands it the user's actions.
class TMainForm : public QWidget
{
    Q_OBJECT
    // For tools that find the window by its object name only.
    Q_PROPERTY(bool busy READ isBusy)

public:
    using FormState = SessionState;

    explicit TMainForm(QWidget *parent = nullptr);
    ~TMainForm() override;

    // Reporting operations, on the window's thread.
    void AddLog(const QString &Text);
    void SetStatus(const QString &Text);
    void SetCardInfo(const QString &Text);

    QString statusText(int panel) const;
    // How much larger than its design the window opens, for the font in use.
    double layoutScale() const { return m_layoutScale; }
    // Adds the lines AddLog gathered to LogMemo now rather than when window events next run.
    void flushLog();

    FormState state() const;
    bool isBusy() const;
    // A card was inserted while work ran; it is identified when the work has ended.
    bool cardWaiting() const;
    // The card shown is in the reader.
    bool cardPresent() const;

    // Card operations: each hands its work to the session and returns at once; the outcome comes
    // back through the reporting operations and the end of the work.
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

    QString SettingsFileName;
    // Time limits of the upload's exchange; tests shorten them.
    HttpLimits UploadLimits;

protected:
    bool event(QEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void createControls();
    void connectSession();
    void FormCreate();
    void FormDestroy();
    // Sizes the window for the font in use: the design at the smallest scale at which every
    // control has the room it asks for.
    void fitLayoutToFont();
    void fitLayout(double scale);
    void applyFontScale(double scale);
    void growForContents();

    // Every control's enabled state follows from the session's.
    void updateControls(const EnabledControls &controls);
    void showReaders(const QStringList &readers, int current);
    // What the settings edits hold now, for an upload of fileName.
    UploadRequest uploadRequest(const QString &fileName) const;

    // The history and the upload queue: the worker owns both; the window shows snapshots.
    void connectHistory();
    void startHistory();
    void showUploadsWaiting(int count);
    void sendUploadSettings();
    SettingsWriteResult saveSettings();

    void setCardPanel(const QString &text);
    void clearLog();
    void setProgress(int done, int total);

    SessionController *m_session = nullptr;
    QPointer<QMessageBox> m_question;
    TitlePanel *m_titlePanel = nullptr;
    StatusLine *m_statusLine = nullptr;
    bool m_destroyed = false;
    bool m_settingsSaved = false;
    double m_layoutScale = 1.0;
    QVBoxLayout *m_tabsLayout = nullptr;
    CardPage *m_cardPage = nullptr;
    SettingsPage *m_settingsPage = nullptr;
    LogPane *m_logPane = nullptr;
    HistoryPage *m_historyPage = nullptr;
    int m_uploadsWaiting = 0;
};
