#pragma once

#include "card/TachoCard.h"
#include "download/CardDownload.h"
#include "download/DownloadReporter.h"
#include "upload/HttpClient.h"
#include "upload/UploadReporter.h"

#include <QEvent>
#include <QWidget>

class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTabWidget;
class RunProgressBar;
class StatusPanel;
class TOpenDirDialog;

// The notice that the card presence monitor posts to the window after each wait.
class CardStateEvent : public QEvent
{
public:
    static constexpr QEvent::Type WM_CARD_STATE = static_cast<QEvent::Type>(0x42A);

    explicit CardStateEvent(std::uint32_t result)
        : QEvent(WM_CARD_STATE)
        , Result(result)
    { }
    const std::uint32_t Result;
};

class TMainForm : public QWidget, public DownloadReporter, public UploadReporter, public TachoCard::CardStateReceiver
{
    Q_OBJECT

public:
    explicit TMainForm(QWidget *parent = nullptr);
    ~TMainForm() override;

    // Reporting operations; SetStatus and SetCardInfo let pending window events run.
    void AddLog(const QString &Text) override;
    void SetStatus(const QString &Text) override;
    void SetCardInfo(const QString &Text) override;

    QString statusText(int panel) const;
    // Adds the lines AddLog gathered to LogMemo now rather than when window events next run.
    void flushLog();

    // Card operations; the logic lives in the download subsystem.
    bool ReadCardFile(const QString &FileTitle, std::uint16_t FileId, bool Signed);
    void IdentifyCard();
    void CardReadButtonClick();
    void OfferUpload(const QString &FileName);
    void UploadFile(const QString &FileName);
    void ReaderButtonClick();
    void PathButtonClick();

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
    QWidget *LogSheet = nullptr;
    QPlainTextEdit *LogMemo = nullptr;
    QStatusBar *StatusBar = nullptr;
    TOpenDirDialog *OpenDirDialog = nullptr;

    bool CardPresent = false;
    QString SettingsFileName;
    // Time limits of the upload's exchange; tests shorten them.
    HttpLimits UploadLimits;
    // DownloadBuffer, DownloadLength, FileBuffer and FileNamePart of the download being built.
    CardDownload Download{*this};

protected:
    bool event(QEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;
    void closeEvent(QCloseEvent *e) override;
    void resizeEvent(QResizeEvent *e) override;

private:
    void createControls();
    void FormCreate();
    void FormDestroy();
    void FormResize();
    void WMCardState();
    bool serviceAvailabilityChanged(std::uint32_t result);
    void cardPresenceChanged(bool present);

    // DownloadReporter
    void setCardPanel(const QString &text) override;
    void setReadButtonEnabled(bool enabled) override;
    void clearLog() override;
    void setProgress(int done, int total) override;

    // CardStateReceiver: called on the monitor thread.
    void PostCardState(std::uint32_t result) override;

    // Identification, a download run, the upload question and the upload take seconds and let
    // window events run inside them. While one is in progress a card insertion is handled only
    // after it has ended (it would empty the download being built or sent), and a close waits.
    class BusyScope
    {
    public:
        explicit BusyScope(TMainForm &form);
        ~BusyScope();
        BusyScope(const BusyScope &) = delete;
        BusyScope &operator=(const BusyScope &) = delete;

    private:
        TMainForm &m_form;
    };
    void afterBusy();

    int m_busy = 0;
    bool m_cardCheckPending = false;
    bool m_closePending = false;
    bool m_serviceLost = false;
    StatusPanel *m_statusPanel0 = nullptr;
    StatusPanel *m_statusPanel1 = nullptr;
    bool m_destroyed = false;
    // Log lines also go to standard error when KORVAN_LOG_TO_STDERR is set (the demo, support).
    bool m_logToStandardError = false;
    QStringList m_pendingLog;
};
