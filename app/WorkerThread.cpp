#include "app/WorkerThread.h"

#include <condition_variable>
#include <mutex>

WorkerThread::WorkerThread(const QString &name)
{
    m_thread.setObjectName(name);
}

WorkerThread::~WorkerThread()
{
    stop({});
}

void WorkerThread::start(QObject *worker)
{
    m_worker = worker;
    worker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, worker, &QObject::deleteLater);
    m_thread.start();
}

void WorkerThread::stop(const std::function<void()> &last)
{
    if (!m_thread.isRunning())
        return;
    // Handed over through a standard mutex rather than a blocking queued call: the card layer's
    // own threads end inside the last call, and what they touched is freed here after it.
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    QMetaObject::invokeMethod(
            m_worker,
            [&] {
                if (last)
                    last();
                std::lock_guard lock(doneMutex);
                done = true;
                doneSignal.notify_all();
            },
            Qt::QueuedConnection);
    {
        std::unique_lock lock(doneMutex);
        doneSignal.wait(lock, [&] { return done; });
    }
    m_thread.quit();
    m_thread.wait();
    m_worker = nullptr;
}
