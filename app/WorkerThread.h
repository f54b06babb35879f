#pragma once

#include <QObject>
#include <QString>
#include <QThread>

#include <functional>

// A worker object on a thread of its own, only ever called by queued calls: the card's now, and
// the network's beside it. Until a worker is started, calls to it go nowhere.
class WorkerThread
{
public:
    explicit WorkerThread(const QString &name);
    ~WorkerThread();
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;

    // Moves worker (without a parent) to the thread and starts it; the worker is deleted when the
    // thread has ended.
    void start(QObject *worker);
    // Runs call on the worker's thread, after the calls queued before it.
    template<typename Call>
    void post(Call call)
    {
        if (m_worker != nullptr)
            QMetaObject::invokeMethod(m_worker, std::move(call), Qt::QueuedConnection);
    }
    // Runs last on the worker's thread and returns when it has, then ends the thread. Only work
    // that has ended is waited for.
    void stop(const std::function<void()> &last);

private:
    QThread m_thread;
    QObject *m_worker = nullptr;
};
