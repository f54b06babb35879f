#include "app/IniFile.h"

#include "download/SaveFile.h"

#include <QByteArrayView>
#include <QFile>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

QByteArrayView trimmed(QByteArrayView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// ASCII only: names are compared as bytes, and folding other bytes would break UTF-8 sequences.
bool equalsIgnoringAsciiCase(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

struct ParsedLine
{
    enum Kind { Other, Section, Key } kind = Other;
    QByteArrayView name; // section name or key
    QByteArrayView value; // raw value bytes, untrimmed
};

ParsedLine parseLine(QByteArrayView text, bool firstLine)
{
    // A file saved by an editor that adds a byte-order mark still has its first section readable.
    if (firstLine && text.startsWith("\xEF\xBB\xBF"))
        text = text.sliced(3);
    const QByteArrayView content = trimmed(text);
    if (content.isEmpty() || content[0] == ';' || content[0] == '#')
        return {};
    if (content[0] == '[') {
        QByteArrayView name = content.sliced(1);
        const qsizetype close = name.indexOf(']');
        if (close >= 0)
            name = name.first(close);
        return {ParsedLine::Section, trimmed(name), {}};
    }
    const qsizetype equals = content.indexOf('=');
    if (equals < 0)
        return {};
    return {ParsedLine::Key, trimmed(content.first(equals)), content.sliced(equals + 1)};
}

QString readValue(QByteArrayView raw)
{
    const qsizetype zero = raw.indexOf('\0');
    if (zero >= 0)
        raw = raw.first(zero);
    raw = trimmed(raw);
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"')
        raw = raw.sliced(1, raw.size() - 2);
    QString value = QString::fromUtf8(raw);
    if (value.size() > IniFile::MaxValueLength) {
        value.truncate(IniFile::MaxValueLength);
        // Never leave half of a character that takes two UTF-16 units.
        if (value.back().isHighSurrogate())
            value.chop(1);
    }
    return value;
}

bool isBlank(QChar c)
{
    return c.unicode() < 0x80 && isBlank(static_cast<char>(c.unicode()));
}

QByteArray storedValue(const QString &value)
{
    QString text = value;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\n' || c == u'\r' || c == QChar(0)) {
            text.truncate(i);
            break;
        }
    }
    const bool quote = !text.isEmpty()
            && (isBlank(text.front()) || isBlank(text.back()) || text.front() == u'"' || text.back() == u'"');
    return quote ? '"' + text.toUtf8() + '"' : text.toUtf8();
}

bool hasLineBreakOrZero(QStringView name)
{
    return name.contains(u'\n') || name.contains(u'\r') || name.contains(QChar(0));
}

bool hasOuterBlanks(QStringView name)
{
    return isBlank(name.front()) || isBlank(name.back());
}

bool validSectionName(QStringView name)
{
    return !name.isEmpty() && !hasOuterBlanks(name) && !hasLineBreakOrZero(name) && !name.contains(u']');
}

bool validKeyName(QStringView name)
{
    return !name.isEmpty() && !hasOuterBlanks(name) && !hasLineBreakOrZero(name) && !name.contains(u'=')
            && name.front() != u'[' && name.front() != u';' && name.front() != u'#';
}

QByteArray folderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return ".";
    if (slash == 0)
        return "/";
    return path.first(slash);
}

QByteArray inFolder(const QByteArray &folder, const QByteArray &name)
{
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

// Follows symbolic links to the file that is to be replaced, so that the link itself stays. A link
// to a file that does not exist yet leads to that file.
bool resolveLinks(QByteArray &path, int &error)
{
    for (int depth = 0; depth < 40; ++depth) {
        struct stat info
        {
        };
        if (::lstat(path.constData(), &info) != 0 || !S_ISLNK(info.st_mode))
            return true; // a missing or unreadable target is reported by the write itself
        QByteArray target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.constData(), target.data(), static_cast<size_t>(target.size()));
        if (length < 0) {
            error = errno;
            return false;
        }
        if (length >= target.size()) {
            error = ENAMETOOLONG;
            return false;
        }
        target.truncate(length);
        path = target.startsWith('/') ? target : inFolder(folderOf(path), target);
    }
    error = ELOOP;
    return false;
}

} // namespace

IniFile IniFile::fromBytes(const QByteArray &bytes)
{
    IniFile ini;
    qsizetype begin = 0;
    while (begin < bytes.size()) {
        const qsizetype newline = bytes.indexOf('\n', begin);
        Line line;
        if (newline < 0) {
            line.text = bytes.sliced(begin);
            begin = bytes.size();
        } else {
            line.text = bytes.sliced(begin, newline - begin);
            line.end = "\n";
            if (line.text.endsWith('\r')) {
                line.text.chop(1);
                line.end = "\r\n";
            }
            begin = newline + 1;
        }
        ini.m_lines.push_back(std::move(line));
    }
    if (!ini.m_lines.empty() && !ini.m_lines.front().end.isEmpty())
        ini.m_newline = ini.m_lines.front().end;
    return ini;
}

IniFile IniFile::load(const QString &path, LoadStatus *status, int *error)
{
    LoadStatus ignoredStatus;
    int ignoredError;
    LoadStatus &outStatus = status ? *status : ignoredStatus;
    int &outError = error ? *error : ignoredError;
    outStatus = LoadStatus::Unreadable;
    outError = 0;

    const QByteArray name = QFile::encodeName(path);
    // Non-blocking, so that a fifo put in the file's place cannot stall the start.
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        outError = errno;
        if (outError == ENOENT)
            outStatus = LoadStatus::Missing;
        return {};
    }
    struct stat info
    {
    };
    const bool statted = ::fstat(fd, &info) == 0;
    if (!statted || !S_ISREG(info.st_mode)) {
        outError = !statted ? errno : S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return {};
    }

    QByteArray bytes(MaxFileSize + 1, Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + filled, static_cast<size_t>(bytes.size() - filled));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            outError = errno;
            ::close(fd);
            return {};
        }
        if (got == 0)
            break;
        filled += got;
    }
    ::close(fd);
    bytes.truncate(filled);

    outStatus = LoadStatus::Read;
    if (bytes.size() > MaxFileSize) {
        // Keep whole lines only: a cut line could read as a different key or value.
        bytes.truncate(MaxFileSize);
        bytes.truncate(bytes.lastIndexOf('\n') + 1);
        outStatus = LoadStatus::TooLarge;
        outError = EFBIG;
    }
    return fromBytes(bytes);
}

std::optional<QString> IniFile::value(QStringView section, QStringView key) const
{
    const QByteArray sectionName = section.toUtf8();
    const QByteArray keyName = key.toUtf8();
    bool inSection = false;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const ParsedLine parsed = parseLine(m_lines[i].text, i == 0);
        if (parsed.kind == ParsedLine::Section)
            inSection = equalsIgnoringAsciiCase(parsed.name, sectionName);
        else if (parsed.kind == ParsedLine::Key && inSection && equalsIgnoringAsciiCase(parsed.name, keyName))
            return readValue(parsed.value);
    }
    return std::nullopt;
}

QString IniFile::value(QStringView section, QStringView key, const QString &defaultValue) const
{
    return value(section, key).value_or(defaultValue);
}

bool IniFile::setValue(QStringView section, QStringView key, const QString &value)
{
    if (!validSectionName(section) || !validKeyName(key))
        return false;
    const QByteArray sectionName = section.toUtf8();
    const QByteArray keyName = key.toUtf8();
    const QByteArray stored = storedValue(value);

    bool inSection = false;
    bool sectionFound = false;
    std::size_t insertAfter = 0; // last non-blank line of the first matching section
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const ParsedLine parsed = parseLine(m_lines[i].text, i == 0);
        if (parsed.kind == ParsedLine::Section) {
            if (sectionFound && inSection)
                break; // the first matching section has ended without the key
            inSection = equalsIgnoringAsciiCase(parsed.name, sectionName);
            if (inSection) {
                sectionFound = true;
                insertAfter = i;
            }
            continue;
        }
        if (!inSection)
            continue;
        if (parsed.kind == ParsedLine::Key && equalsIgnoringAsciiCase(parsed.name, keyName)) {
            // Keeps what stands before the key (indentation, a byte-order mark) and its spelling.
            const qsizetype keyEnd = parsed.name.data() + parsed.name.size() - m_lines[i].text.constData();
            m_lines[i].text = m_lines[i].text.first(keyEnd) + '=' + stored;
            return true;
        }
        if (!trimmed(m_lines[i].text).isEmpty())
            insertAfter = i;
    }

    if (sectionFound) {
        if (m_lines[insertAfter].end.isEmpty())
            m_lines[insertAfter].end = m_newline;
        m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insertAfter) + 1,
                       Line{keyName + '=' + stored, m_newline});
        return true;
    }

    if (!m_lines.empty()) {
        if (m_lines.back().end.isEmpty())
            m_lines.back().end = m_newline;
        if (!trimmed(m_lines.back().text).isEmpty())
            m_lines.push_back(Line{{}, m_newline});
    }
    m_lines.push_back(Line{'[' + sectionName + ']', m_newline});
    m_lines.push_back(Line{keyName + '=' + stored, m_newline});
    return true;
}

QByteArray IniFile::toBytes() const
{
    QByteArray bytes;
    for (const Line &line : m_lines)
        bytes += line.text + line.end;
    return bytes;
}

bool IniFile::save(const QString &path, int *error) const
{
    int ignoredError;
    int &outError = error ? *error : ignoredError;
    outError = 0;

    QByteArray target = QFile::encodeName(path);
    if (target.isEmpty()) {
        outError = ENOENT;
        return false;
    }
    if (!resolveLinks(target, outError))
        return false;

    // Only the owner may read the credentials: the mode is set before anything is written.
    outError = saveFileAtomically(QFile::decodeName(target), toBytes(), S_IRUSR | S_IWUSR);
    if (outError != 0)
        return false;
    // The new file is complete on disk already, so after a crash either the old or the new file
    // is found, never a damaged one: a folder that cannot be synced is no failed write.
    syncFolder(QFile::decodeName(folderOf(target)));
    return true;
}
