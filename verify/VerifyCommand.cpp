#include "verify/VerifyCommand.h"

#include "verify/DownloadVerifier.h"

#include <cctype>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

// Far above any card's download; a larger file is not read into memory.
constexpr std::uintmax_t MaximumFileSize = 16 * 1024 * 1024;

bool digitsAt(std::string_view text, std::size_t position, std::size_t count, int &value)
{
    value = 0;
    for (std::size_t i = position; i < position + count; ++i) {
        if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

std::string localTimeText(std::chrono::sys_seconds time)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

} // namespace

std::optional<std::chrono::sys_seconds> downloadTimeFromFileName(std::string_view fileName)
{
    // C_yyyymmdd_hhnn_
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    if (fileName.size() < 16 || fileName.substr(0, 2) != "C_" || fileName[10] != '_' || fileName[15] != '_'
        || !digitsAt(fileName, 2, 4, year) || !digitsAt(fileName, 6, 2, month) || !digitsAt(fileName, 8, 2, day)
        || !digitsAt(fileName, 11, 2, hour) || !digitsAt(fileName, 13, 2, minute))
        return std::nullopt;
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59)
        return std::nullopt;

    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&local);
    // mktime moves an impossible date (31 April) on; such a name is not the product's.
    if (seconds == static_cast<std::time_t>(-1) || local.tm_mday != day || local.tm_mon != month - 1)
        return std::nullopt;
    return std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::from_time_t(seconds));
}

int runVerifyCommand(const std::string &path, std::ostream &out)
{
    return runVerifyCommand(path, out, TrustStore::builtIn());
}

int runVerifyCommand(const std::string &path, std::ostream &out, const TrustStore &trust)
{
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size > MaximumFileSize) {
        out << "- error: " << path << ": " << (error ? error.message() : "too large for a download file") << "\n";
        return 2;
    }
    std::ifstream stream(path, std::ios::binary);
    std::vector<std::uint8_t> bytes;
    if (stream.is_open())
        bytes.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    if (!stream.is_open() || stream.bad()) {
        out << "- error: " << path << ": cannot be read\n";
        return 2;
    }

    const std::string name = std::filesystem::path(path).filename().string();
    std::optional<std::chrono::sys_seconds> time = downloadTimeFromFileName(name);
    const char *source = "from the file name";
    if (!time) {
        const auto modified = std::filesystem::last_write_time(path, error);
        if (error) {
            out << "- error: " << path << ": " << error.message() << "\n";
            return 2;
        }
        time = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::file_clock::to_sys(modified));
        source = "from the file's modification time";
    }
    out << "Download time: " << localTimeText(*time) << " (" << source << ")\n";

    const Verdict verdict = verifyDownload(bytes, trust, *time);
    for (const std::string &line : verdict.lines)
        out << line << "\n";
    return verdict.overall == Overall::Failed ? 1 : 0;
}
