#include "FixturePki.h"

#include "verify/VerifyCommand.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// The file name is read as local time; the tests pin the zone.
class UtcZone : public testing::Test
{
protected:
    void SetUp() override
    {
        const char *zone = std::getenv("TZ");
        m_zone = zone ? std::optional<std::string>(zone) : std::nullopt;
        setenv("TZ", "UTC", 1);
        tzset();
        m_folder = std::filesystem::temp_directory_path() / ("korvan-verify-" + std::to_string(getpid()));
        std::filesystem::create_directories(m_folder);
    }

    void TearDown() override
    {
        if (m_zone)
            setenv("TZ", m_zone->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        std::filesystem::remove_all(m_folder);
    }

    std::string write(const std::string &name, const Bytes &bytes)
    {
        const std::filesystem::path path = m_folder / name;
        std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    std::filesystem::path m_folder;

private:
    std::optional<std::string> m_zone;
};

} // namespace

TEST_F(UtcZone, DownloadTimeComesFromTheProductsFileName)
{
    EXPECT_EQ(downloadTimeFromFileName("C_20250601_1230_J_NOVAK_CZ12345678901234.ddd"),
              fixtureTime(2025, 6, 1) + std::chrono::minutes(12 * 60 + 30));
    EXPECT_EQ(downloadTimeFromFileName("C_20240229_2359_.ddd"), fixtureTime(2024, 2, 29) + std::chrono::minutes(1439));
    for (const char *name : {"C_20250431_1200_J_X.ddd", "C_20250601_2400_J_X.ddd", "C_2025060_11200_J_X.ddd",
                             "D_20250601_1200_J_X.ddd", "C_20250601_1200", "download.ddd", ""})
        EXPECT_FALSE(downloadTimeFromFileName(name).has_value()) << name;
}

// The built-in store trusts the European roots only (unless test roots were built in), so the
// fixture's download fails there, and by its exit code. The fixture's keys carry the European
// identifiers: the real key is found and does not verify.
TEST_F(UtcZone, CommandPrintsTheLinesAndFailsOnAnUntrustedDownload)
{
    const std::string path = write("C_20250601_1200_J_NOVAK_X.ddd", fixtureDownload());
    std::ostringstream out;
    EXPECT_EQ(runVerifyCommand(path, out), 1);
    const std::string text = out.str();
    EXPECT_TRUE(
            text.starts_with("Download time: 2025-06-01 12:00 (from the file name)\n----- Verify signatures -----\n"))
            << text;
    EXPECT_NE(text.find("- error: CA Certificate: signature does not verify with the root FD 45 43 20 00 FF FF 01\n"),
              std::string::npos)
            << text;
    EXPECT_NE(text.find("----- Verification failed: "), std::string::npos);
}

TEST_F(UtcZone, CommandSucceedsOnlyWhenEverythingVerifies)
{
    const std::string path = write("C_20250601_1200_J_NOVAK_X.ddd", fixtureDownload());
    std::ostringstream out;
    EXPECT_EQ(runVerifyCommand(path, out, FixturePki::shared().trust(RootKind::Test)), 0) << out.str();
    EXPECT_TRUE(out.str().ends_with("----- Signatures verified against a TEST root, not the European root -----\n"))
            << out.str();
}

TEST_F(UtcZone, CommandTakesTheModificationTimeForOtherNamesAndRefusesWhatItCannotRead)
{
    const std::string path = write("card.ddd", Bytes{0x00});
    std::filesystem::last_write_time(
            path, std::filesystem::file_time_type::clock::from_sys(fixtureTime(2025, 1, 2) + std::chrono::hours(3)));
    std::ostringstream out;
    EXPECT_EQ(runVerifyCommand(path, out), 1);
    EXPECT_TRUE(out.str().starts_with("Download time: 2025-01-02 03:00 (from the file's modification time)\n"))
            << out.str();

    std::ostringstream missing;
    EXPECT_EQ(runVerifyCommand((m_folder / "none.ddd").string(), missing), 2);
    EXPECT_TRUE(missing.str().starts_with("- error: ")) << missing.str();
}
