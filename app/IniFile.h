#pragma once

// A small INI reader and writer over the raw bytes of a file. Every line that setValue does not
// change is written back byte for byte (comments, unknown sections and keys, odd lines, binary
// junk), unlike QSettings, which rewrites the file and reads an unquoted comma as a list.
//
// Reading rules: a line whose first non-blank character is '[' starts a section, named by the text
// up to ']'; a line with '=' holds a key (the text before the first '=') and its value (the rest);
// ';' and '#' start a comment; any other line is ignored and kept. Lines before the first section
// belong to none. Section and key lookup ignore ASCII letter case and the blanks around them; the
// first match wins. A value ends at a zero byte, loses the blanks around it and then one pair of
// surrounding double quotes, is decoded as UTF-8 and is cut to MaxValueLength characters. A comma
// is just a character.
//
// Free of Qt Gui and Widgets so that it can be fed arbitrary bytes (fromBytes) by a fuzzer.

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>
#include <vector>

class IniFile
{
public:
    // Values are read as into a 2048-byte buffer with its terminator: longer stored values are cut.
    static constexpr qsizetype MaxValueLength = 2047;
    // A settings file has a few hundred bytes. Anything beyond this is not read.
    static constexpr qsizetype MaxFileSize = 1024 * 1024;

    enum class LoadStatus {
        Read, // the whole file was read
        Missing, // there is no file: an empty INI
        TooLarge, // only the complete lines within MaxFileSize were read
        Unreadable, // not a regular file, or reading failed: an empty INI
    };

    IniFile() = default;

    static IniFile fromBytes(const QByteArray &bytes);

    // Never fails: whatever cannot be read gives an empty INI. status and error (an errno value,
    // 0 when none) say what happened, for whoever wants to log it.
    static IniFile load(const QString &path, LoadStatus *status = nullptr, int *error = nullptr);

    std::optional<QString> value(QStringView section, QStringView key) const;
    QString value(QStringView section, QStringView key, const QString &defaultValue) const;

    // Changes the first matching key line in place (keeping the key's spelling in the file), or
    // adds the key at the end of the first matching section, or adds the section at the end of the
    // file. The stored value ends before the first line break or zero character, so a value can
    // never break the file's structure; it is quoted when its surrounding blanks or quotes would
    // otherwise be lost on reading. Returns false, changing nothing, for a section or key name that
    // could not be read back as one (empty, blanks around it, a line break, ']' in a section name,
    // '=' in a key, a key starting with '[', ';' or '#').
    bool setValue(QStringView section, QStringView key, const QString &value);

    QByteArray toBytes() const;

    // Replaces the file at path (or, when path is a symbolic link, the file it leads to) as one
    // step (saveFileAtomically), readable and writable by its owner only before anything is
    // written. On failure the old file stays as it was, error receives the errno value, and false
    // is returned.
    bool save(const QString &path, int *error = nullptr) const;

private:
    struct Line
    {
        QByteArray text; // without the line end
        QByteArray end; // "\n", "\r\n", or empty for a last line without one
    };

    std::vector<Line> m_lines;
    QByteArray m_newline = "\n"; // the line end of the file's first line, used for added lines
};
