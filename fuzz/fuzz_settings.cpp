// The settings file: the credential codec on arbitrary text, and the INI reader and writer on
// arbitrary file bytes with arbitrary changes.
//
// Input: a stored credential (word length, then UTF-8 bytes), the settings file (word length,
// then bytes), then up to eight changes, each a section (byte length, bytes), a key (byte
// length, bytes) and a value (word length, bytes), the names and the value as UTF-8.

#include "FuzzInput.h"
#include "app/IniFile.h"
#include "app/SettingsCodec.h"

#include <QList>

#include <utility>
#include <vector>

namespace {

constexpr int MaxChanges = 8;

QByteArray bytesFrom(FuzzInput &input, std::size_t length)
{
    const auto run = input.bytes(length);
    return QByteArray(reinterpret_cast<const char *>(run.data()), static_cast<qsizetype>(run.size()));
}

QString textFrom(FuzzInput &input, std::size_t length)
{
    return QString::fromUtf8(bytesFrom(input, length));
}

// What Encode writes: pairs of upper-case digits, the low half first, and no zero byte.
bool isStoredForm(const QString &text)
{
    if (text.size() % 2 != 0)
        return false;
    for (qsizetype i = 0; i < text.size(); i += 2) {
        const auto isDigit = [](QChar c) {
            return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
        };
        if (!isDigit(text[i]) || !isDigit(text[i + 1]) || (text[i] == u'0' && text[i + 1] == u'0'))
            return false;
    }
    return true;
}

void checkCodec(const QString &stored)
{
    const QString decoded = DecodeSettingValue(stored);
    fuzzCheck(!decoded.contains(QChar(0)), "a decoded credential has no zero character");
    fuzzCheck(decoded.size() <= stored.size() / 2, "a decoded credential has a character per pair of digits");
    const QString encoded = EncodeSettingValue(decoded);
    fuzzCheck(DecodeSettingValue(encoded) == decoded, "a decoded credential survives being stored again");
    if (isStoredForm(stored))
        fuzzCheck(encoded == stored, "a stored credential is written back as it was");
}

bool sameName(const QString &a, const QString &b)
{
    return a.toUtf8().toLower() == b.toUtf8().toLower();
}

// What reading gives back for a value that was set.
QString readBack(QString value)
{
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == u'\n' || value[i] == u'\r' || value[i] == QChar(0)) {
            value.truncate(i);
            break;
        }
    }
    if (value.size() > IniFile::MaxValueLength) {
        value.truncate(IniFile::MaxValueLength);
        if (value.back().isHighSurrogate())
            value.chop(1);
    }
    return value;
}

// The lines of a file without their line ends. A carriage return before a line end counts as part
// of the end, also when a change ends a last line that had none.
QList<QByteArray> linesOf(const QByteArray &file)
{
    QList<QByteArray> lines = file.split('\n');
    for (QByteArray &line : lines) {
        while (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

// A change either rewrites one line or inserts lines (and may end the last line); every other
// line stays byte for byte.
void checkLinesKept(const QByteArray &before, const QByteArray &after)
{
    const QList<QByteArray> old = linesOf(before);
    const QList<QByteArray> now = linesOf(after);
    qsizetype differing = 0;
    if (old.size() == now.size()) {
        for (qsizetype i = 0; i < old.size(); ++i)
            differing += old[i] != now[i] ? 1 : 0;
        if (differing <= 1)
            return;
    }
    qsizetype matched = 0;
    for (qsizetype i = 0; i < now.size() && matched < old.size(); ++i)
        matched += now[i] == old[matched] ? 1 : 0;
    fuzzCheck(matched == old.size(), "a change keeps every other line");
}

using Probe = std::pair<QString, QString>;

std::vector<std::optional<QString>> valuesOf(const IniFile &ini, const std::vector<Probe> &probes)
{
    std::vector<std::optional<QString>> values;
    for (const auto &[section, key] : probes)
        values.push_back(ini.value(section, key));
    return values;
}

void checkIni(FuzzInput &input)
{
    const QByteArray file = bytesFrom(input, input.word());
    IniFile ini = IniFile::fromBytes(file);
    fuzzCheck(ini.toBytes() == file, "an unchanged file is written back byte for byte");

    std::vector<Probe> probes{{"Settings", "Company"},    {"Settings", "User"},     {"Settings", "Password"},
                              {"Settings", "CardReader"}, {"Settings", "FilePath"}, {"Window", "Left"},
                              {"Window", "Top"}};
    for (int change = 0; change < MaxChanges && !input.empty(); ++change) {
        const QString section = textFrom(input, input.byte());
        const QString key = textFrom(input, input.byte());
        const QString value = textFrom(input, input.word());
        probes.emplace_back(section, key);

        const QByteArray before = ini.toBytes();
        const auto valuesBefore = valuesOf(ini, probes);
        if (!ini.setValue(section, key, value)) {
            fuzzCheck(ini.toBytes() == before, "a refused change changes nothing");
            continue;
        }
        const QByteArray after = ini.toBytes();
        checkLinesKept(before, after);

        const IniFile reread = IniFile::fromBytes(after);
        fuzzCheck(reread.toBytes() == after, "a written file reads back byte for byte");
        fuzzCheck(reread.value(section, key) == readBack(value), "a value set reads back from the file");
        fuzzCheck(ini.value(section, key) == readBack(value), "a value set reads back at once");
        const auto valuesAfter = valuesOf(reread, probes);
        for (std::size_t i = 0; i < probes.size(); ++i) {
            if (!(sameName(probes[i].first, section) && sameName(probes[i].second, key)))
                fuzzCheck(valuesAfter[i] == valuesBefore[i], "a change leaves the other values alone");
        }
    }

    // Whatever the file holds, stored credentials decode without harm.
    for (const auto &[section, key] : probes)
        checkCodec(ini.value(section, key, QString()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    checkCodec(textFrom(input, input.word()));
    checkIni(input);
    return 0;
}
