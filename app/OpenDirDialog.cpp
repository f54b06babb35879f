#include "app/OpenDirDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QScopeGuard>
#include <QWidget>

TOpenDirDialog *LastDirDialog = nullptr;

TOpenDirDialog::TOpenDirDialog(QWidget *AOwner)
    : QObject(AOwner)
    , FOwner(AOwner)
{
    LastDirDialog = this;
}

TOpenDirDialog::~TOpenDirDialog()
{
    delete FDialog.data();
    if (LastDirDialog == this)
        LastDirDialog = nullptr;
}

void TOpenDirDialog::setOptions(TOpenDirOptions Value)
{
    FOptions = Value;
    if (Value.testFlag(odShowDir))
        FBrowseFlags |= FlagReturnOnlyFsDirs;
    if (Value.testFlag(odShowComputer))
        FBrowseFlags |= FlagBrowseForComputer;
    if (Value.testFlag(odShowPrinter))
        FBrowseFlags |= FlagBrowseForPrinter;
    if (Value.testFlag(odShowFiles))
        FBrowseFlags |= FlagBrowseIncludeFiles;
}

void TOpenDirDialog::setOptionsEx(TOpenDirOptionsEx Value)
{
    if (Value == FOptionsEx)
        return;
    FOptionsEx = Value;
    FBrowseFlags |= FlagExtendedDialog;
}

QFileDialog *TOpenDirDialog::Handle() const
{
    return FDialog.data();
}

void TOpenDirDialog::notifyChange(const QString &path)
{
    if (FOnChange && !path.isEmpty())
        FOnChange(this, QDir::cleanPath(path));
}

bool TOpenDirDialog::Execute()
{
    if (FExecuting)
        return false;
    // The chooser may be gone when the dialog returns (its owner closed meanwhile), and a handler
    // may throw: the flag is reset only while there is still a chooser.
    const QPointer<TOpenDirDialog> self(this);
    FExecuting = true;
    const auto reset = qScopeGuard([&] {
        if (self)
            FExecuting = false;
    });

    delete FDialog.data();
    auto *dialog = new QFileDialog(FOwner, FTitle);
    FDialog = dialog;
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    // The computer and printer flags have no counterpart here; the edit box and the resizable
    // frame of the extended style are always there.
    dialog->setOption(QFileDialog::ShowDirsOnly, !(FBrowseFlags & FlagBrowseIncludeFiles));
    // A Path that names no folder leaves the first folder to the dialog.
    if (!FPath.isEmpty() && QFileInfo(FPath).isDir())
        dialog->setDirectory(FPath);
    connect(dialog, &QFileDialog::currentChanged, this, &TOpenDirDialog::notifyChange);
    connect(dialog, &QFileDialog::directoryEntered, this, &TOpenDirDialog::notifyChange);

    if (FOnCreate)
        FOnCreate(this);
    if (!self || !FDialog)
        return false;

    const bool confirmed = FDialog->exec() == QDialog::Accepted;
    if (!self || !confirmed || !FDialog)
        return false;
    const QStringList chosen = FDialog->selectedFiles();
    // An item without a path counts as a cancel.
    if (chosen.isEmpty() || chosen.constFirst().isEmpty())
        return false;
    FPath = QDir::cleanPath(chosen.constFirst());
    return true;
}
