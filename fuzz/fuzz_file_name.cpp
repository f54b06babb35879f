// The download file's name, built from arbitrary bytes of EF Identification.
//
// Input: the bytes read from the file; the count is the input's length, so that short reads are
// covered too.

#include "FuzzInput.h"
#include "download/DownloadFormat.h"

#include <QDateTime>

namespace {

bool isUnsafeInName(std::uint8_t byte)
{
    return byte == '/' || byte == '\\' || byte == '"' || byte < 0x20 || byte == 0x7F;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace DownloadFormat;

    const QByteArray part = buildFileNamePart(data, size);
    fuzzCheck(part.size() >= 3, "the name part has the initial and both separators");
    fuzzCheck(
            std::none_of(part.begin(), part.end(), [](char c) { return isUnsafeInName(static_cast<std::uint8_t>(c)); }),
            "the name part holds no separator, quote or control byte");

    const QString name = downloadFileName(QDateTime(QDate(2024, 2, 29), QTime(23, 59)), part);
    fuzzCheck(name.startsWith(QStringLiteral("C_20240229_2359_")) && name.endsWith(QStringLiteral(".ddd")),
              "the file name keeps its frame");
    fuzzCheck(!name.contains(u'/') && !name.contains(QChar(0)), "the file name is a single path component");
    fuzzCheck(std::none_of(name.begin(), name.end(), [](QChar c) { return c.category() == QChar::Other_Control; }),
              "the file name holds no control character");
    fuzzCheck(name.toUtf8().size() <= 255, "the file name fits a file system's name limit");

    const QString holder = holderName(data, size);
    fuzzCheck(!holder.contains(QChar(0))
                      && holder.size() <= 2 * static_cast<qsizetype>(IdentificationFields::Surname.size) + 1,
              "the holder is two names of at most their field's size");
    return 0;
}
