#pragma once

// The "Nastavení" tab: the reader, the download folder and the fleet server's credentials, as the
// settings file stores them.

#include "app/SettingsStore.h"

#include <QWidget>

class QComboBox;
class QGridLayout;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;
class TOpenDirDialog;

class SettingsPage : public QWidget
{
    Q_OBJECT

public:
    explicit SettingsPage(QWidget *parent = nullptr);

    void applyScale(double scale);

    // The credentials and the folder of the settings file; an empty folder becomes `defaultFolder`.
    // The reader is the reader selection's to show.
    void load(const StoredSettings &stored, const QString &defaultFolder);
    // What the settings file gets from this page: all but the window's position.
    StoredSettings current() const;
    // Lets the user choose the download folder, starting at the one shown.
    void chooseFolder();

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
    TOpenDirDialog *OpenDirDialog = nullptr;

signals:
    // The user finished editing a credential: Enter, or leaving the edit after a change. Never
    // in the middle of typing, so that a half-typed password never reaches the server.
    void credentialsCommitted();

private:
    QVBoxLayout *m_layout = nullptr;
    QHBoxLayout *m_readerRow = nullptr;
    QHBoxLayout *m_folderRow = nullptr;
    QGridLayout *m_credentials = nullptr;
};
