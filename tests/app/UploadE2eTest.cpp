// The upload offer of the real window after a run on the real stack, to the local fleet server.
#include "WindowE2e.h"
#include "app/SettingsCodec.h"
#include "support/FleetServer.h"
#include "support/ModalAnswerer.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

using Bytes = std::vector<std::uint8_t>;

// The file part of a recorded multipart request.
Bytes uploadedFile(const std::string &request)
{
    const std::string start = "Content-Type: application/octet-stream\r\n\r\n";
    const auto begin = request.find(start);
    const auto end = request.rfind("\r\n--");
    if (begin == std::string::npos || end == std::string::npos || end < begin + start.size())
        return {};
    return {request.begin() + static_cast<std::ptrdiff_t>(begin + start.size()),
            request.begin() + static_cast<std::ptrdiff_t>(end)};
}

class UploadE2e : public WindowE2e
{
protected:
    void SetUp() override
    {
        WindowE2e::SetUp();
        server = std::make_unique<FleetServer>(std::vector<std::string>{"--expect-credentials", "FIRMA:řidič:heslo"});
        ASSERT_TRUE(server->running()) << server->error();
        qputenv("KORVAN_UPLOAD_URL", QByteArray::fromStdString(server->url()));
        qputenv("SSL_CERT_FILE", QByteArray::fromStdString(server->caFile()));
        writeSettingsFile(QStringLiteral("[Settings]\nCompany=%1\nUser=%2\nPassword=%3\n")
                                  .arg(EncodeSettingValue(QStringLiteral("FIRMA")),
                                       EncodeSettingValue(QStringLiteral("řidič")),
                                       EncodeSettingValue(QStringLiteral("heslo"))));
    }
    void TearDown() override
    {
        WindowE2e::TearDown();
        server.reset();
        qunsetenv("KORVAN_UPLOAD_URL");
        qunsetenv("SSL_CERT_FILE");
    }

    std::unique_ptr<FleetServer> server;
};

TEST_F(UploadE2e, YesSendsTheBytesOfTheWrittenFile)
{
    VirtualCard &card = startCard({"--seed", "71"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    ModalAnswerer user(QMessageBox::Yes);
    form->CardReadButton->click();
    ASSERT_TRUE(finishWork());

    // Qt's own button texts speak the window's language.
    ASSERT_EQ(user.buttonTexts().size(), 1);
    EXPECT_EQ(user.buttonTexts().front(), (QStringList{QStringLiteral("Ano"), QStringLiteral("Ne")}));
    EXPECT_EQ(statusText(), QStringLiteral("Čtení karty dokončeno, soubor byl odeslán na server"));
    ASSERT_EQ(downloadedFiles().size(), 1);
    const auto requests = server->recordedRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(uploadedFile(requests.front()), readDownload(downloadedFiles().front()));
    EXPECT_EQ(uploadedFile(requests.front()), card.expectedDownload());
    EXPECT_TRUE(logText().contains(QStringLiteral("HTTP Upload: \n200\nHTTP/1.")));
}

// The operator pulls the card and inserts the next while the question is open: the upload sends
// the first card's download and the next card is identified only afterwards.
TEST_F(UploadE2e, NextCardInsertedWhileTheQuestionIsOpenWaitsForTheUpload)
{
    VirtualCard &first = startCard({"--seed", "72"});
    VirtualCard &next =
            startCard({"--seed", "73", "--removed", "--surname", "NEXT", "--first-names", "CARD", "--pad-zero"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    ModalAnswerer user(QMessageBox::Yes);
    user.setBeforeAnswer([&](QMessageBox *) {
        swapCards(first, next);
        EXPECT_TRUE(next.commands().empty());
    });
    form->CardReadButton->click();
    ASSERT_TRUE(finishWork());

    const auto requests = server->recordedRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(uploadedFile(requests.front()), first.expectedDownload());
    ASSERT_TRUE(waitForIdentification());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("CARD NEXT"));
    // The server's verdict stays to be read.
    EXPECT_EQ(statusText(), QStringLiteral("Čtení karty dokončeno, soubor byl odeslán na server"));
}

// The card is swapped while the upload waits for a slow server: the next card is identified
// after the upload, and the server's verdict stays in the status bar.
TEST_F(UploadE2e, CardsSwappedDuringASlowUploadTheNextIsIdentifiedAfterIt)
{
    server = std::make_unique<FleetServer>(std::vector<std::string>{"--delay-ms", "3000"});
    ASSERT_TRUE(server->running()) << server->error();
    qputenv("KORVAN_UPLOAD_URL", QByteArray::fromStdString(server->url()));
    qputenv("SSL_CERT_FILE", QByteArray::fromStdString(server->caFile()));
    VirtualCard &first = startCard({"--seed", "75"});
    VirtualCard &next =
            startCard({"--seed", "76", "--removed", "--surname", "NEXT", "--first-names", "CARD", "--pad-zero"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    ModalAnswerer user(QMessageBox::Yes);
    form->CardReadButton->click();
    ASSERT_TRUE(waitUntil([this] { return form->state() == TMainForm::FormState::Uploading; }, 60000));
    swapCards(first, next);
    EXPECT_TRUE(next.commands().empty());
    ASSERT_TRUE(finishWork());

    ASSERT_EQ(server->recordedRequests().size(), 1u);
    EXPECT_EQ(uploadedFile(server->recordedRequests().front()), first.expectedDownload());
    ASSERT_TRUE(waitForIdentification());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("CARD NEXT"));
    EXPECT_EQ(statusText(), QStringLiteral("Čtení karty dokončeno, soubor byl odeslán na server"));
}

struct AnswerCase
{
    const char *name;
    QMessageBox::StandardButton answer;
    bool clearPassword;
    QString status;
};

class UploadAnswers : public UploadE2e, public testing::WithParamInterface<AnswerCase>
{
};

TEST_P(UploadAnswers, SendNothingAndKeepTheFile)
{
    startCard({"--seed", "74"});
    openWindow();
    if (GetParam().clearPassword)
        form->SettingsPasswordEdit->clear();
    ASSERT_TRUE(waitForIdentification());
    ModalAnswerer user(GetParam().answer);
    form->CardReadButton->click();
    ASSERT_TRUE(finishWork());

    EXPECT_EQ(user.texts(), QStringList{QStringLiteral("Odeslat soubor na server?")});
    EXPECT_EQ(user.titles(), QStringList{QStringLiteral("Vyčítání karet řidičů")});
    EXPECT_EQ(statusText(), GetParam().status);
    EXPECT_EQ(downloadedFiles().size(), 1);
    EXPECT_TRUE(server->recordedRequests().empty());
}

INSTANTIATE_TEST_SUITE_P(
        Table, UploadAnswers,
        testing::Values(AnswerCase{"No", QMessageBox::No, false, CompleteAndVerified},
                        AnswerCase{"YesWithoutPassword", QMessageBox::Yes, true,
                                   QStringLiteral("Nelze odeslat soubor na server, chybí přihlašovací údaje")}),
        [](const testing::TestParamInfo<AnswerCase> &param) { return std::string(param.param.name); });

} // namespace
