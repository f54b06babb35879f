#pragma once

// TOpenDirDialog: lets the user pick a folder in a modal QFileDialog (directory mode) over its
// owner, on each Execute.
//
// Qt picks the dialog: the desktop's own folder dialog where the platform theme offers one, else
// Qt's widget dialog (always so on the offscreen platform of the tests).

#include <QObject>
#include <QPointer>
#include <QString>

class QFileDialog;
class QWidget;

class TOpenDirDialog : public QObject
{
    Q_OBJECT

public:
    explicit TOpenDirDialog(QWidget *AOwner);
    ~TOpenDirDialog() override;

    QString Title() const { return FTitle; }
    void setTitle(const QString &Value) { FTitle = Value; }

    // Before Execute: the folder the dialog opens on. After a confirmed Execute: the chosen folder,
    // without a trailing separator except for "/".
    QString Path() const { return FPath; }
    void setPath(const QString &Value) { FPath = Value; }

    // Opens the modal dialog on Path. True, with Path set to the chosen folder, when the user
    // confirmed a folder; false, with Path unchanged, when the dialog was cancelled or closed.
    // Also false when called while its own dialog is still open.
    bool Execute();

    // Ends an open dialog as a cancel. The dialog's modal loop would otherwise keep a program
    // that is ending alive for nobody.
    void close();

private:
    QWidget *FOwner;
    QString FTitle;
    QString FPath;
    QPointer<QFileDialog> FDialog;
};
