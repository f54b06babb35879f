#include "upload/Upload.h"
#include "upload/VerInfo.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

#include <ostream>
#include <string>
#include <tuple>

namespace {

// The body as the fleet server expects it, written out independently of the builder.
QByteArray expectedBody(const QByteArray &boundary, const UploadForm &form, const QByteArray &data)
{
    QByteArray body = "--{B}\r\n"
                      "Content-Disposition: form-data; name=\"idkod\"\r\n"
                      "\r\n"
                      "{company}\r\n"
                      "--{B}\r\n"
                      "Content-Disposition: form-data; name=\"jmeno\"\r\n"
                      "\r\n"
                      "{user}\r\n"
                      "--{B}\r\n"
                      "Content-Disposition: form-data; name=\"heslo\"\r\n"
                      "\r\n"
                      "{password}\r\n"
                      "--{B}\r\n"
                      "Content-Disposition: form-data; name=\"zalozka\"\r\n"
                      "\r\n"
                      "archiv_tachokaret\r\n"
                      "--{B}\r\n"
                      "Content-Disposition: form-data; name=\"it\"\r\n"
                      "\r\n"
                      "0\r\n"
                      "--{B}\r\n"
                      "Content-Disposition: form-data; name=\"dalsi\"\r\n"
                      "\r\n"
                      "Importovat\r\n"
                      "--{B}\r\n"
                      "Content-Disposition: form-data; name=\"file\"; filename=\"{file name}\"\r\n"
                      "Content-Type: application/octet-stream\r\n"
                      "\r\n"
                      "{bytes}\r\n"
                      "--{B}--\r\n";
    // The values of the cases hold no braces, the data is put in last.
    body.replace("{B}", boundary);
    body.replace("{company}", form.company);
    body.replace("{user}", form.user);
    body.replace("{password}", form.password);
    body.replace("{file name}", form.fileName);
    body.replace("{bytes}", data);
    return body;
}

QByteArray allByteValues(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 7 + 3);
    return data;
}

struct BodyCase
{
    const char *name;
    QString company, user, password, fileName;
    // The Windows-1250 bytes the texts must become.
    QByteArray companyBytes, userBytes, passwordBytes, fileNameBytes;
    QByteArray data;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const BodyCase &c, std::ostream *out)
{
    *out << c.name;
}

class UploadBodyTest : public testing::TestWithParam<BodyCase>
{
};

TEST_P(UploadBodyTest, BodyAndRequestBytes)
{
    const BodyCase &c = GetParam();
    const QByteArray boundary = "-----------3A07F2C1_Synapse_boundary";
    UploadForm form;
    for (auto [text, bytes, out] :
         {std::tuple{&c.company, &c.companyBytes, &form.company}, std::tuple{&c.user, &c.userBytes, &form.user},
          std::tuple{&c.password, &c.passwordBytes, &form.password},
          std::tuple{&c.fileName, &c.fileNameBytes, &form.fileName}}) {
        const std::optional<QByteArray> encoded = ToWindows1250(*text);
        ASSERT_TRUE(encoded.has_value()) << text->toStdString();
        EXPECT_EQ(encoded->toHex(' '), bytes->toHex(' ')) << text->toStdString();
        *out = *encoded;
    }

    const QByteArray body = BuildUploadBody(boundary, form, c.data);
    EXPECT_EQ(body, expectedBody(boundary, form, c.data));
    EXPECT_EQ(body.size(),
              751 + form.company.size() + form.user.size() + form.password.size() + form.fileName.size()
                      + c.data.size());

    const std::optional<UploadAddress> address =
            ParseUploadAddress(QStringLiteral("https://fleet.example.com/vorkany.php"));
    ASSERT_TRUE(address.has_value());
    const QByteArray head =
            BuildUploadRequestHead(*address, "Mozilla/4.0 (compatible; MK Korvan 1.1.0.22)", boundary, body.size());
    EXPECT_EQ(head,
              "POST /vorkany.php HTTP/1.0\r\n"
              "Host: fleet.example.com:443\r\n"
              "Keep-Alive: 300\r\n"
              "Connection: keep-alive\r\n"
              "User-Agent: Mozilla/4.0 (compatible; MK Korvan 1.1.0.22)\r\n"
              "Content-Type: multipart/form-data; boundary=-----------3A07F2C1_Synapse_boundary\r\n"
              "Content-Length: "
                      + QByteArray::number(body.size()) + "\r\n\r\n");
}

INSTANTIATE_TEST_SUITE_P(
        Cases, UploadBodyTest,
        testing::Values(
                BodyCase{"Ascii", "FIRMA01", "novak", "tajne", "C_20240315_0815_J_Novak_CZ12345678.ddd", "FIRMA01",
                         "novak", "tajne", "C_20240315_0815_J_Novak_CZ12345678.ddd", QByteArray("\x01\x02\x03", 3)},
                BodyCase{"CzechLetters", QStringLiteral("Dopravní s.r.o."), QStringLiteral("Jiří Čermák"),
                         QStringLiteral("žluťoučký kůň"), QStringLiteral("C_Čermák.ddd"), "Dopravn\xED s.r.o.",
                         "Ji\xF8\xED \xC8"
                         "erm\xE1k",
                         "\x9Elu\x9Dou\xE8k\xFD k\xF9\xF2",
                         "C_\xC8"
                         "erm\xE1k.ddd",
                         allByteValues(300)},
                BodyCase{"QuoteAndLineBreakUnchanged", QStringLiteral("a\"b"), QStringLiteral("x\r\ny"),
                         QStringLiteral("p\nq\"--"), QStringLiteral("C_\"x\".ddd"), "a\"b", "x\r\ny", "p\nq\"--",
                         "C_\"x\".ddd", "data"},
                BodyCase{"EmptyDownload", "F", "U", "P", "C_a.ddd", "F", "U", "P", "C_a.ddd", QByteArray()},
                BodyCase{"FullBuffer", "F", "U", "P", "C_a.ddd", "F", "U", "P", "C_a.ddd", allByteValues(65536)}),
        [](const testing::TestParamInfo<BodyCase> &param) { return std::string(param.param.name); });

TEST(UploadBody, EmptyDownloadEndsRightAfterTheBlankLine)
{
    const QByteArray body = BuildUploadBody("B", UploadForm{"F", "U", "P", "C_a.ddd"}, QByteArrayView());
    EXPECT_TRUE(body.endsWith("Content-Type: application/octet-stream\r\n\r\n\r\n--B--\r\n"));
}

TEST(UploadBody, TextsWithoutWindows1250BytesAreRefused)
{
    EXPECT_FALSE(ToWindows1250(QStringLiteral("漢字")).has_value());
    EXPECT_FALSE(ToWindows1250(QStringLiteral("ok \U0001F600")).has_value());
    EXPECT_EQ(ToWindows1250(QStringLiteral("€")), QByteArray("\x80"));
    EXPECT_EQ(ToWindows1250(QString()), QByteArray());
}

TEST(UploadRequest, HostLineCarriesTheAddressPort)
{
    struct Case
    {
        const char *url;
        QByteArray requestLine, hostLine;
    };
    for (const Case &c :
         {Case{"https://10.1.2.3:8443/vorkany.php", "POST /vorkany.php HTTP/1.0\r\n", "Host: 10.1.2.3:8443\r\n"},
          Case{"https://[::1]:4443/fleet/vorkany.php?x=1", "POST /fleet/vorkany.php?x=1 HTTP/1.0\r\n",
               "Host: [::1]:4443\r\n"}}) {
        const std::optional<UploadAddress> address = ParseUploadAddress(QString::fromLatin1(c.url));
        ASSERT_TRUE(address.has_value()) << c.url;
        const QByteArray head = BuildUploadRequestHead(*address, "UA", "B", 0);
        EXPECT_TRUE(head.startsWith(c.requestLine + c.hostLine)) << c.url << "\n" << head.toStdString();
    }
}

TEST(UploadBoundary, FormAndRange)
{
    EXPECT_EQ(MakeUploadBoundary(0), QStringLiteral("-----------00000000_Synapse_boundary"));
    EXPECT_EQ(MakeUploadBoundary(0x3A07F2C1), QStringLiteral("-----------3A07F2C1_Synapse_boundary"));
    EXPECT_EQ(MakeUploadBoundary(0x7FFFFFFE), QStringLiteral("-----------7FFFFFFE_Synapse_boundary"));

    // Seeds across a whole day of milliseconds.
    for (std::uint32_t seed = 0; seed < 86'400'000; seed += 86'400'000 / 500 + 1) {
        const QByteArray boundary = DrawUploadBoundary(seed, {}, {});
        ASSERT_EQ(boundary.size(), 36) << seed;
        EXPECT_TRUE(boundary.startsWith("-----------")) << boundary.toStdString();
        EXPECT_TRUE(boundary.endsWith("_Synapse_boundary")) << boundary.toStdString();
        const QByteArray digits = boundary.mid(11, 8);
        for (char c : digits)
            EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << boundary.toStdString();
        EXPECT_LE(digits[0], '7') << boundary.toStdString();
    }
    EXPECT_EQ(DrawUploadBoundary(12345, {}, {}), DrawUploadBoundary(12345, {}, {}));
}

TEST(UploadBoundary, NeverOneThatOccursInTheContent)
{
    const QByteArray first = DrawUploadBoundary(4242, {}, {});
    const QByteArray data = "binary " + first + " more";
    const QByteArray inData = DrawUploadBoundary(4242, {}, data);
    EXPECT_NE(inData, first);
    EXPECT_FALSE(data.contains(inData));
    const QByteArray inPassword = DrawUploadBoundary(4242, UploadForm{"", "", "x" + first, ""}, {});
    EXPECT_NE(inPassword, first);
}

TEST(UploadTexts, StatusTextsAndLogLines)
{
    const QString unknown = QStringLiteral("Odeslání souboru na server selhalo: neznámá chyba");
    EXPECT_EQ(UploadStatusText(200), QStringLiteral("Čtení karty dokončeno, soubor byl odeslán na server"));
    EXPECT_EQ(UploadStatusText(401), QStringLiteral("Odeslání souboru na server selhalo: chybné přihlašovací údaje"));
    EXPECT_EQ(UploadStatusText(409), QStringLiteral("Odeslání souboru na server selhalo: duplicitní soubor"));
    for (int code : {201, 204, 302, 404, 500, 503})
        EXPECT_EQ(UploadStatusText(code), unknown) << code;

    EXPECT_EQ(UploadLogLine("HTTP/1.1 200 OK"), QStringLiteral("HTTP/1.1 200 OK"));
    EXPECT_EQ(UploadLogLine("X: a\rb\x1B[2J\tc\x7F"), QStringLiteral("X: a?b?[2J?c?"));
    EXPECT_EQ(UploadLogLine("X-Note: \x8Elu\x9Dou\xE8k\xFD"), QStringLiteral("X-Note: Žluťoučký"));
    EXPECT_EQ(UploadUserAgent(QStringLiteral("unknown version")),
              QStringLiteral("Mozilla/4.0 (compatible; MK Korvan unknown version)"));
    // The version the request carries is the program's own, as the build names it.
    EXPECT_EQ(UploadUserAgent(TVersionInfo::FileVersionText()),
              QStringLiteral("Mozilla/4.0 (compatible; MK Korvan 1.1.0.22)"));
}

} // namespace
