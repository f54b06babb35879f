#pragma once

// Small helpers shared by the settings tests.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <array>
#include <cstdlib>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QByteArray &bytes, std::ostream *out)
{
    *out << '"' << bytes.toStdString() << '"';
}

inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Names in a folder, hidden ones included: a failed write must leave no temporary file behind.
inline QStringList folderEntries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Sets an environment variable for the life of the object.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const QByteArray &value)
        : m_name(name)
    {
        if (const char *old = std::getenv(name))
            m_old = std::string(old);
        ::setenv(name, value.constData(), 1);
    }
    ~ScopedEnv()
    {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *m_name;
    std::optional<std::string> m_old;
};

// Folder permissions stop everyone but root, and the tests may run as root. So, as root, the
// action runs in a child process that has become the unprivileged user "nobody" (65534); the
// folders it must see have to be open to others. The child hands its text result back through a
// pipe. Returns nullopt when the child could not drop its rights.
inline std::optional<QByteArray> runUnprivileged(const std::function<QByteArray()> &action)
{
    if (::geteuid() != 0)
        return action();
    int fds[2];
    if (::pipe(fds) != 0)
        return std::nullopt;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        const QByteArray result = action();
        const bool sent = ::write(fds[1], result.constData(), static_cast<size_t>(result.size())) == result.size();
        ::_exit(sent ? 0 : 3);
    }
    ::close(fds[1]);
    QByteArray result;
    std::array<char, 4096> buffer{};
    ssize_t got;
    while ((got = ::read(fds[0], buffer.data(), buffer.size())) > 0)
        result.append(buffer.data(), got);
    ::close(fds[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return result;
}
