// Linked into the programs that the start and memory benchmarks start: korvan's own main.cpp and
// the baseline. It hooks into the QApplication from outside the program (a start-up function of
// Qt's), prints "shown NS" (CLOCK_MONOTONIC nanoseconds) once the first window has been exposed
// and painted, and quits. With KORVAN_PROBE=run it first waits for the card to be identified, runs
// one download as a user does (the button, then "No" to the upload question) into the folder
// KORVAN_PROBE_FOLDER, and prints "run MS" or "failed TEXT". With KORVAN_PROBE_HOLD=1 it prints
// "holding" instead of quitting, so its memory can be read, and stays until it is terminated.
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <ctime>

namespace {

constexpr int RunTimeoutMs = 300000;

long long monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

class ShownProbe : public QObject
{
public:
    ShownProbe()
        : QObject(QCoreApplication::instance())
        , m_runMode(qEnvironmentVariable("KORVAN_PROBE") == QLatin1String("run"))
        , m_hold(qEnvironmentVariable("KORVAN_PROBE_HOLD") == QLatin1String("1"))
    {
        QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose && !m_shown) {
            auto *window = qobject_cast<QWindow *>(watched);
            if (window != nullptr && window->isExposed()) {
                m_shown = true;
                // Queued: the window paints while it handles the expose, after this filter.
                QMetaObject::invokeMethod(
                        this, [this] { afterShown(); }, Qt::QueuedConnection);
            }
        } else if (event->type() == QEvent::Show) {
            if (auto *box = qobject_cast<QMessageBox *>(watched))
                answer(box);
        }
        return false;
    }

private:
    void afterShown()
    {
        std::printf("shown %lld\n", monotonicNanoseconds());
        std::fflush(stdout);
        if (!m_runMode) {
            end(0);
            return;
        }
        QWidget *window = nullptr;
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == QLatin1String("MainForm"))
                window = widget;
        }
        if (window == nullptr) {
            finish("no main window");
            return;
        }
        if (auto *folder = window->findChild<QLineEdit *>(QStringLiteral("SettingsPathEdit")))
            folder->setText(qEnvironmentVariable("KORVAN_PROBE_FOLDER"));
        auto *button = window->findChild<QPushButton *>(QStringLiteral("CardReadButton"));
        if (button == nullptr) {
            finish("no read button");
            return;
        }
        m_waited.start();
        auto *poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [this, poll, button, window] {
            if (m_waited.elapsed() > RunTimeoutMs) {
                poll->stop();
                finish("the card was not identified in time");
                return;
            }
            if (!button->isEnabled())
                return;
            poll->stop();
            m_run.start();
            button->click();
            // The run goes on on the card worker: done when the window is idle again.
            auto *done = new QTimer(this);
            connect(done, &QTimer::timeout, this, [this, done, window] {
                if (window->property("busy").toBool())
                    return;
                done->stop();
                const qint64 elapsed = m_run.elapsed();
                if (!m_otherBox.isEmpty())
                    finish("message box: " + m_otherBox.toStdString());
                else if (m_questions != 1)
                    finish("no upload question: the run did not write a file");
                else
                    finish({}, elapsed);
            });
            done->start(1);
        });
        poll->start(10);
    }

    void answer(QMessageBox *box)
    {
        QMessageBox::StandardButton choice = QMessageBox::Ok;
        if (box->objectName() == QLatin1String("UploadQuestion")) {
            ++m_questions;
            choice = QMessageBox::No;
        } else {
            m_otherBox = box->text();
        }
        QTimer::singleShot(0, box, [box, choice] {
            if (QAbstractButton *button = box->button(choice))
                button->click();
            else
                box->reject();
        });
    }

    void finish(const std::string &failure, qint64 runMs = 0)
    {
        if (failure.empty())
            std::printf("run %lld\n", static_cast<long long>(runMs));
        else
            std::printf("failed %s\n", failure.c_str());
        std::fflush(stdout);
        end(failure.empty() ? 0 : 1);
    }

    void end(int status)
    {
        if (!m_hold) {
            QCoreApplication::exit(status);
            return;
        }
        std::printf("holding\n");
        std::fflush(stdout);
    }

    const bool m_runMode;
    const bool m_hold;
    bool m_shown = false;
    int m_questions = 0;
    QString m_otherBox;
    QElapsedTimer m_waited;
    QElapsedTimer m_run;
};

void installShownProbe()
{
    new ShownProbe;
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installShownProbe)
