// The check of a written download: what is read back from the disk is verified, and the verdict
// reads as it is.

#include "download/DownloadVerification.h"
#include "support/DddFile.h"
#include "support/RecordingReporter.h"
#include "tools/vcard/CardGenerator.h"
#include "tools/vcard/CardKey.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes readFile(const std::string &path)
{
    std::ifstream stream(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

const TrustStore &testRoots()
{
    static const TrustStore store = [] {
        TrustStore roots;
        roots.addFirstGenerationRoot(readFile(std::string(KORVAN_TEST_PKI_DIR) + "/TEST_EC_PK.bin"), RootKind::Test);
        roots.addSecondGenerationRoot(readFile(std::string(KORVAN_TEST_PKI_DIR) + "/TEST_ROOT_1.cvc"), RootKind::Test);
        return roots;
    }();
    return store;
}

Bytes secondGenerationDownload()
{
    vcard::GeneratorOptions options;
    options.seed = 3;
    options.generation = 2;
    const auto key = vcard::CardKey::fromSeed(options.seed);
    const auto secondKey = vcard::secondGenerationCardKey(options);
    return DddFile::encode(vcard::downloadRecords(vcard::generateCard(options), &*key, &*secondKey));
}

QDateTime downloadTime()
{
    return QDateTime(QDate(2026, 12, 10), QTime(9, 30), Qt::UTC);
}

} // namespace

TEST(DownloadVerification, VerdictOfTheFileOnDiskInTheStatusWords)
{
    const Bytes download = secondGenerationDownload();
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("C_20261210_0930_T_TEST_CZ.ddd"));
    const auto write = [&path](const Bytes &bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<qint64>(bytes.size()));
    };

    RecordingReporter reporter;
    write(download);
    DownloadVerification verified = verifyWrittenDownload(reporter, path, download, downloadTime(), testRoots());
    EXPECT_EQ(verified.overall, Overall::VerifiedTestRoot);
    EXPECT_EQ(verificationStatusSuffix(verified), QStringLiteral(", podpisy ověřeny jen testovacími klíči"));
    EXPECT_EQ(reporter.log.first(), QStringLiteral("----- Verify signatures -----"));
    EXPECT_TRUE(reporter.log.contains(QStringLiteral("- Driver Activity Data G2: signature verified")));

    // A byte that changed on its way to the disk: what is kept is not what was read.
    Bytes changed = download;
    changed[download.size() / 2] ^= 0x01;
    write(changed);
    const DownloadVerification differs = verifyWrittenDownload(reporter, path, download, downloadTime(), testRoots());
    EXPECT_EQ(differs.overall, Overall::Failed);
    EXPECT_EQ(verificationStatusSuffix(differs),
              QStringLiteral(", podpisy neověřeny: zapsaný soubor se liší od přečtených dat"));

    // The same change in what was read too: the signature of that file fails, and is named.
    const DownloadVerification tampered = verifyWrittenDownload(reporter, path, changed, downloadTime(), testRoots());
    EXPECT_EQ(tampered.overall, Overall::Failed);
    EXPECT_TRUE(verificationStatusSuffix(tampered).startsWith(QStringLiteral(", podpisy neověřeny: ")));
    EXPECT_FALSE(tampered.failedItem.isEmpty());

    // Under the European roots alone a test card's download is not verified.
    write(download);
    const DownloadVerification european = verifyWrittenDownload(reporter, path, download, downloadTime(), TrustStore());
    EXPECT_EQ(european.overall, Overall::Failed);

    QFile::remove(path);
    const DownloadVerification gone = verifyWrittenDownload(reporter, path, download, downloadTime(), testRoots());
    EXPECT_EQ(verificationStatusSuffix(gone), QStringLiteral(", podpisy neověřeny: soubor nelze znovu načíst"));
    EXPECT_EQ(verificationStatusSuffix(DownloadVerification{}), QString());
}
