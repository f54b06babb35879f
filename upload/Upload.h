#pragma once

// Sending a download file to the company's fleet server: one https POST of a multipart form with
// the three credentials and the file, reported through an UploadReporter.

#include "upload/HttpClient.h"
#include "upload/UploadAddress.h"
#include "upload/UploadReporter.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct UploadInput
{
    // The texts of the settings edits as the user sees them now; sent as Windows-1250 bytes.
    QString company;
    QString user;
    QString password;
    // The bare name of the saved download file, without any folder.
    QString fileName;
    // The download file's bytes; only read during the call.
    QByteArrayView data;
    QString uploadUrl = ConfiguredUploadUrl();
    HttpLimits limits;
    // Ends the exchange early when cancelled from another thread; must outlive the call.
    const HttpCancel *cancel = nullptr;
};

// How an upload ended.
struct UploadOutcome
{
    bool completed = false; // an answer was read to its end
    int statusCode = 0; // the answer's status code, when completed
    std::string failureReason; // why there was no answer; never a credential
    bool cancelled = false; // there was no answer because input.cancel was cancelled
};

// Builds and sends the request and reports: "Odesílám soubor na server..." first, then, for an
// answer, the status code and header block in the log and the text for the status code; for a
// failed exchange one log line with the reason and "Odeslání souboru na server selhalo"; a
// cancelled exchange is reported as a failed one. Blocks until the exchange ends (bounded by
// input.limits, cut short by input.cancel).
UploadOutcome UploadFile(UploadReporter &reporter, const UploadInput &input);

// --- The parts of the request, for UploadFile and its tests ---

// "Mozilla/4.0 (compatible; MK Korvan " + version + ")".
QString UploadUserAgent(const QString &versionText);

// Eleven hyphens, the number as eight upper-case hex digits, "_Synapse_boundary".
QString MakeUploadBoundary(std::uint32_t number);
std::uint32_t MillisecondsSinceMidnightUtc();

// text as Windows-1250 bytes; nothing when a character has no such byte.
std::optional<QByteArray> ToWindows1250(const QString &text);

struct UploadForm
{
    // Windows-1250 bytes, placed into the body as they are.
    QByteArray company;
    QByteArray user;
    QByteArray password;
    QByteArray fileName;
};

// The boundary for this form and file: a number in 0..0x7FFFFFFE from a generator seeded with
// seed, drawn again while the boundary occurs in the content.
QByteArray DrawUploadBoundary(std::uint32_t seed, const UploadForm &form, QByteArrayView data);

// The multipart body: the six text fields, the file part and the closing delimiter.
QByteArray BuildUploadBody(const QByteArray &boundary, const UploadForm &form, QByteArrayView data);
// The request line and header lines up to and including the blank line.
QByteArray BuildUploadRequestHead(const UploadAddress &address, const QByteArray &userAgent, const QByteArray &boundary,
                                  qsizetype contentLength);

// The status-bar text for a completed exchange with this status code.
QString UploadStatusText(int statusCode);
// A header line of the answer as the log shows it: Windows-1250 text with every control byte
// shown as '?'.
QString UploadLogLine(std::string_view line);
