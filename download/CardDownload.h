#pragma once

#include "download/DownloadFormat.h"
#include "download/DownloadReporter.h"
#include "download/DownloadVerification.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>

// The card's two tachograph applications: DF Tachograph, which every card has, and DF
// Tachograph_G2 of second-generation cards.
enum class CardApplication { FirstGeneration, SecondGeneration };

// How a download run ended.
struct DownloadRunResult
{
    enum class Outcome {
        NoFile, // the card is not a tachograph card or EF Identification could not be read
        Complete, // every file read with its signature, and written
        Incomplete, // written under the name of an incomplete download: a file failed
        WriteFailed, // the file could not be written
    };
    Outcome outcome = Outcome::NoFile;
    QString fileName; // the bare name of the file written or meant to be written
    QString errorText; // why the file could not be written
    QString firstFailedFile; // the title of the first file that failed, when one did
    int cardGeneration = 0; // 1 or 2; 0 when not known
    int cardVersion = 0; // of a second-generation card: 1 or 2; 0 when not known
    bool lastDownloadMarked = false; // LastCardDownload written in every application of the card
    DownloadVerification verification; // of the file written, complete or incomplete
};

// The download being built from the card in the reader: identification on insertion, one step per
// elementary file, and the run over the whole card. Talks to the card through TachoCard and to the
// user through the reporter.
class CardDownload
{
public:
    explicit CardDownload(DownloadReporter &reporter);

    std::array<std::uint8_t, DownloadFormat::DownloadCapacity> DownloadBuffer{};
    std::int32_t DownloadLength = 0;
    std::array<std::uint8_t, DownloadFormat::FileCapacity> FileBuffer{};
    QByteArray FileNamePart;

    // Reads one EF of the current directory into a data record and, when Signed, has the card
    // hash it first and sign it after into a signature record. The records carry the types of
    // the application the EF belongs to.
    bool ReadCardFile(const QString &FileTitle, std::uint16_t FileId, bool Signed,
                      CardApplication application = CardApplication::FirstGeneration);

    // Connects to the inserted card, reads EF Identification and shows the holder.
    void IdentifyCard();

    // Downloads the identified card into a file in the folder.
    DownloadRunResult runDownload(const QString &folder);

    // The roots the written download is verified against.
    const TrustStore *trust = &TrustStore::builtIn();

    // The local time that names the file; tests fix it.
    std::function<QDateTime()> clock = [] {
        return QDateTime::currentDateTime();
    };

private:
    bool appendRecord(std::uint16_t fileId, std::uint8_t type, const std::uint8_t *content, std::size_t length);
    bool computeSignature(std::uint16_t fileId, CardApplication application);
    bool selectTachographApplication();
    enum class SecondApplication { Selected, Absent, Failed };
    SecondApplication selectSecondGenerationApplication();
    bool markLastCardDownload(const QString &title, std::uint32_t timeReal);
    void logFailure(const char *what);

    DownloadReporter &m_reporter;
    // The signature length the second-generation signing key gives, from its certificate; 0 while
    // not known.
    std::uint32_t m_secondGenerationSignatureLength = 0;
};
