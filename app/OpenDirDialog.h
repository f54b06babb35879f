#pragma once

// TOpenDirDialog: a non-visual component that lets the user pick a folder. It is owned by its
// owner widget and opens a modal folder dialog over it on each Execute.
//
// Qt picks the dialog: the desktop's own folder dialog where the platform theme offers one, else
// Qt's widget dialog (always so on the offscreen platform of the tests).

#include <QFlags>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>

class QFileDialog;
class QWidget;

enum TOpenDirOption {
    odShowDir = 0x1,
    odShowComputer = 0x2,
    odShowPrinter = 0x4,
    odShowFiles = 0x8,
};
Q_DECLARE_FLAGS(TOpenDirOptions, TOpenDirOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(TOpenDirOptions)

enum TOpenDirOptionEx {
    odxShowExtendDlg = 0x1,
};
Q_DECLARE_FLAGS(TOpenDirOptionsEx, TOpenDirOptionEx)
Q_DECLARE_OPERATORS_FOR_FLAGS(TOpenDirOptionsEx)

class TOpenDirDialog : public QObject
{
    Q_OBJECT

public:
    using TNotifyEvent = std::function<void(TOpenDirDialog *Sender)>;
    using TOnFolderChanged = std::function<void(TOpenDirDialog *Sender, const QString &Path)>;

    // The browse flags each option adds to BrowseFlags.
    static constexpr std::uint32_t FlagReturnOnlyFsDirs = 0x0001;
    static constexpr std::uint32_t FlagBrowseForComputer = 0x1000;
    static constexpr std::uint32_t FlagBrowseForPrinter = 0x2000;
    static constexpr std::uint32_t FlagBrowseIncludeFiles = 0x4000;
    static constexpr std::uint32_t FlagExtendedDialog = 0x0050;

    explicit TOpenDirDialog(QWidget *AOwner);
    ~TOpenDirDialog() override;

    QString Title() const { return FTitle; }
    void setTitle(const QString &Value) { FTitle = Value; }

    // Before Execute: the folder the dialog opens on. After a confirmed Execute: the chosen folder,
    // without a trailing separator except for "/".
    QString Path() const { return FPath; }
    void setPath(const QString &Value) { FPath = Value; }

    TOpenDirOptions Options() const { return FOptions; }
    void setOptions(TOpenDirOptions Value);

    TOpenDirOptionsEx OptionsEx() const { return FOptionsEx; }
    void setOptionsEx(TOpenDirOptionsEx Value);

    // Called once the dialog exists and Handle is set, before the dialog is shown.
    const TNotifyEvent &OnCreate() const { return FOnCreate; }
    void setOnCreate(TNotifyEvent Value) { FOnCreate = std::move(Value); }

    // Called when the current folder or the selected item in the dialog changes.
    const TOnFolderChanged &OnChange() const { return FOnChange; }
    void setOnChange(TOnFolderChanged Value) { FOnChange = std::move(Value); }

    // The dialog of the last Execute; it is kept after it closed, until the next Execute or the
    // chooser's end. Null before the first Execute.
    QFileDialog *Handle() const;

    std::uint32_t BrowseFlags() const { return FBrowseFlags; }

    // Opens the modal dialog on Path. True, with Path set to the chosen folder, when the user
    // confirmed a folder; false, with Path unchanged, when the dialog was cancelled. Also false
    // when called while its own dialog is still open.
    virtual bool Execute();

private:
    void notifyChange(const QString &path);

    QWidget *FOwner;
    QString FTitle;
    QString FPath;
    TOpenDirOptions FOptions;
    TOpenDirOptionsEx FOptionsEx;
    TNotifyEvent FOnCreate;
    TOnFolderChanged FOnChange;
    std::uint32_t FBrowseFlags = 0;
    QPointer<QFileDialog> FDialog;
    bool FExecuting = false;
};

// The chooser created last; null once that one is gone.
extern TOpenDirDialog *LastDirDialog;
