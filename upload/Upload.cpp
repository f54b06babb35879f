#include "upload/Upload.h"

#include "download/Windows1250.h"
#include "upload/VerInfo.h"

#include <QDateTime>

#include <random>

namespace {

const QString FailedText = QStringLiteral("Odeslání souboru na server selhalo");

// A boundary that occurs in the content would cut the body short on the server; redrawn so
// that can never happen. A handful of draws is more than enough in practice.
constexpr int MaxBoundaryDraws = 64;

bool boundaryOccursIn(const QByteArray &boundary, const UploadForm &form, QByteArrayView data)
{
    return form.company.contains(boundary) || form.user.contains(boundary) || form.password.contains(boundary)
            || form.fileName.contains(boundary) || data.indexOf(boundary) >= 0;
}

void appendFormField(QByteArray &body, const QByteArray &boundary, const char *name, const QByteArray &value)
{
    body += "--" + boundary + "\r\n";
    body += QByteArray("Content-Disposition: form-data; name=\"") + name + "\"\r\n";
    body += "\r\n";
    body += value + "\r\n";
}

} // namespace

QString UploadUserAgent(const QString &versionText)
{
    return QStringLiteral("Mozilla/4.0 (compatible; MK Korvan ") + versionText + QLatin1Char(')');
}

QString MakeUploadBoundary(std::uint32_t number)
{
    return QStringLiteral("-----------") + QStringLiteral("%1").arg(number, 8, 16, QLatin1Char('0')).toUpper()
            + QStringLiteral("_Synapse_boundary");
}

QByteArray DrawUploadBoundary(std::uint32_t seed, const UploadForm &form, QByteArrayView data)
{
    std::mt19937 generator(seed);
    std::uniform_int_distribution<std::uint32_t> numbers(0, 0x7FFFFFFE);
    QByteArray boundary = MakeUploadBoundary(numbers(generator)).toLatin1();
    for (int draw = 1; draw < MaxBoundaryDraws && boundaryOccursIn(boundary, form, data); ++draw)
        boundary = MakeUploadBoundary(numbers(generator)).toLatin1();
    return boundary;
}

std::uint32_t MillisecondsSinceMidnightUtc()
{
    return std::uint32_t(QDateTime::currentDateTimeUtc().time().msecsSinceStartOfDay());
}

std::optional<QByteArray> ToWindows1250(const QString &text)
{
    bool complete = false;
    QByteArray bytes = toWindows1250(text, &complete);
    if (!complete)
        return std::nullopt;
    return bytes;
}

QByteArray BuildUploadBody(const QByteArray &boundary, const UploadForm &form, QByteArrayView data)
{
    QByteArray body;
    body.reserve(800 + form.company.size() + form.user.size() + form.password.size() + form.fileName.size()
                 + data.size());
    appendFormField(body, boundary, "idkod", form.company);
    appendFormField(body, boundary, "jmeno", form.user);
    appendFormField(body, boundary, "heslo", form.password);
    appendFormField(body, boundary, "zalozka", "archiv_tachokaret");
    appendFormField(body, boundary, "it", "0");
    appendFormField(body, boundary, "dalsi", "Importovat");
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"file\"; filename=\"" + form.fileName + "\"\r\n";
    body += "Content-Type: application/octet-stream\r\n";
    body += "\r\n";
    body.append(data);
    body += "\r\n--" + boundary + "--\r\n";
    return body;
}

QByteArray BuildUploadRequestHead(const UploadAddress &address, const QByteArray &userAgent, const QByteArray &boundary,
                                  qsizetype contentLength)
{
    QByteArray head;
    head += "POST " + QByteArray::fromStdString(address.path) + " HTTP/1.0\r\n";
    head += "Host: " + QByteArray::fromStdString(address.hostAndPort()) + "\r\n";
    // Sent although the connection serves this one request; fleet servers have always seen them.
    head += "Keep-Alive: 300\r\n";
    head += "Connection: keep-alive\r\n";
    head += "User-Agent: " + userAgent + "\r\n";
    head += "Content-Type: multipart/form-data; boundary=" + boundary + "\r\n";
    head += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    head += "\r\n";
    return head;
}

QString UploadStatusText(int statusCode)
{
    switch (statusCode) {
    case 401:
        return QStringLiteral("Odeslání souboru na server selhalo: chybné přihlašovací údaje");
    case 409:
        return QStringLiteral("Odeslání souboru na server selhalo: duplicitní soubor");
    case 200:
        return QStringLiteral("Čtení karty dokončeno, soubor byl odeslán na server");
    default:
        return QStringLiteral("Odeslání souboru na server selhalo: neznámá chyba");
    }
}

QString UploadLogLine(std::string_view line)
{
    QByteArray bytes(line.data(), qsizetype(line.size()));
    for (char &c : bytes) {
        if (std::uint8_t(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return fromWindows1250(bytes);
}

UploadOutcome UploadFile(UploadReporter &reporter, const UploadInput &input)
{
    UploadOutcome outcome;
    auto fail = [&reporter, &outcome](std::string reason) {
        reporter.AddLog(QStringLiteral("HTTP Upload failed: ") + QString::fromStdString(reason));
        reporter.SetStatus(FailedText);
        outcome.failureReason = std::move(reason);
        return outcome;
    };
    reporter.SetStatus(QStringLiteral("Odesílám soubor na server..."));

    const QString userAgent = UploadUserAgent(TVersionInfo::FileVersionText());

    // A URL that is not https, or does not parse, ends the upload as a failed exchange.
    const std::optional<UploadAddress> address = ParseUploadAddress(input.uploadUrl);

    // The window only lets the user type what Windows-1250 holds; should anything else arrive,
    // nothing is sent rather than credentials or a file name with characters replaced.
    const std::optional<QByteArray> company = ToWindows1250(input.company);
    const std::optional<QByteArray> user = ToWindows1250(input.user);
    const std::optional<QByteArray> password = ToWindows1250(input.password);
    const std::optional<QByteArray> fileName = ToWindows1250(input.fileName);
    if (!address || !company || !user || !password || !fileName)
        return fail(!address ? "not an https address" : "text without Windows-1250 bytes");
    const UploadForm form{*company, *user, *password, *fileName};

    // Re-seeded from the clock at every upload.
    const QByteArray boundary = DrawUploadBoundary(MillisecondsSinceMidnightUtc(), form, input.data);

    const QByteArray body = BuildUploadBody(boundary, form, input.data);
    QByteArray request = BuildUploadRequestHead(*address, userAgent.toLatin1(), boundary, body.size());
    request += body;

    HttpClient client(input.limits);
    const HttpResult result =
            client.exchange(*address, std::string_view(request.constData(), std::size_t(request.size())), input.cancel);
    if (!result.completed) {
        outcome.cancelled = result.cancelled;
        return fail(result.error.empty() ? std::string("no answer") : result.error);
    }
    reporter.AddLog(QStringLiteral("HTTP Upload: "));
    reporter.AddLog(QString::number(result.statusCode));
    for (const std::string &line : result.headerLines)
        reporter.AddLog(UploadLogLine(line));
    reporter.AddLog(QString());
    reporter.SetStatus(UploadStatusText(result.statusCode));
    outcome.completed = true;
    outcome.statusCode = result.statusCode;
    return outcome;
}
