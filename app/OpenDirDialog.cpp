#include "app/OpenDirDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QWidget>

TOpenDirDialog::TOpenDirDialog(QWidget *AOwner)
    : QObject(AOwner)
    , FOwner(AOwner)
{ }

TOpenDirDialog::~TOpenDirDialog()
{
    delete FDialog.data();
}

bool TOpenDirDialog::Execute()
{
    if (FDialog)
        return false;
    // Deleted with the chooser or at the end of this call, whichever comes first: the owner may
    // close while the dialog is open.
    const QPointer<TOpenDirDialog> self(this);
    const QPointer<QFileDialog> dialog = new QFileDialog(FOwner, FTitle);
    FDialog = dialog;
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    // A Path that names no folder leaves the first folder to the dialog.
    if (!FPath.isEmpty() && QFileInfo(FPath).isDir())
        dialog->setDirectory(FPath);

    const bool confirmed = dialog->exec() == QDialog::Accepted;
    const QStringList chosen = dialog ? dialog->selectedFiles() : QStringList();
    delete dialog.data();
    // An item without a path counts as a cancel.
    if (!self || !confirmed || chosen.isEmpty() || chosen.constFirst().isEmpty())
        return false;
    FPath = QDir::cleanPath(chosen.constFirst());
    return true;
}

void TOpenDirDialog::close()
{
    if (FDialog)
        FDialog->reject();
}
