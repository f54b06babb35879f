#include "WindowE2e.h"

#include "app/QtTranslation.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

const VirtualReaderDefinition WindowE2e::Reader{"Korvan Reader", ReaderPort};

void WindowE2e::SetUp()
{
    ASSERT_TRUE(configFolder.isValid());
    ASSERT_TRUE(dataFolder.isValid());
    ASSERT_TRUE(downloadFolder.isValid());
    ASSERT_TRUE(installCzechQtTranslation(*QCoreApplication::instance()));
    qputenv("XDG_CONFIG_HOME", configFolder.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", dataFolder.path().toLocal8Bit());
    pcscd = std::make_unique<PcscdHarness>(readerDefinitions);
    if (!readerDefinitions.empty()) {
        ASSERT_TRUE(pcscd->start()) << pcscd->error();
    }
}

void WindowE2e::TearDown()
{
    form.reset();
    cards.clear();
    pcscd.reset();
}

VirtualCard &WindowE2e::startCard(std::vector<std::string> arguments, std::uint16_t port)
{
    arguments.insert(arguments.end(), {"--port", std::to_string(port)});
    const bool removed = std::find(arguments.begin(), arguments.end(), "--removed") != arguments.end();
    cards.push_back(std::make_unique<VirtualCard>(arguments));
    VirtualCard &card = *cards.back();
    EXPECT_TRUE(card.start()) << card.error() << card.errorOutput();
    if (!removed) {
        EXPECT_TRUE(insertedAndSeen(card, port == ReaderPort ? 0 : 1));
    }
    return card;
}

// The virtual reader driver now and then loses a card that connects right after another left the
// same port: the card believes it is in, the resource manager never sees it. A user would take
// it out and put it in again; so does this.
bool WindowE2e::insertedAndSeen(VirtualCard &card, int slot)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (attempt > 0 && !(card.remove() && card.insert()))
            break;
        if (pcscd->waitForCard(readerName(slot), true, std::chrono::seconds(8)))
            return true;
    }
    std::string lines;
    for (const auto &line : card.logLines())
        lines += line + '\n';
    ADD_FAILURE() << "card not seen; card log:\n" << lines << card.errorOutput();
    return false;
}

QString WindowE2e::settingsFilePath() const
{
    return configFolder.filePath(QStringLiteral("Merkalo/Korvan.ini"));
}

void WindowE2e::writeSettingsFile(const QString &text)
{
    QDir().mkpath(configFolder.filePath(QStringLiteral("Merkalo")));
    QFile file(settingsFilePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
}

QString WindowE2e::settingsFileText() const
{
    QFile file(settingsFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

TMainForm &WindowE2e::openWindow()
{
    form = std::make_unique<TMainForm>();
    if (setDownloadFolder)
        form->SettingsPathEdit->setText(downloadFolder.path());
    form->show();
    EXPECT_TRUE(waitUntil([this] { return form->state() != TMainForm::FormState::Starting; }));
    return *form;
}

void WindowE2e::closeWindow()
{
    form->close();
}

bool WindowE2e::waitUntil(const std::function<bool()> &condition, int milliseconds)
{
    return QTest::qWaitFor(condition, milliseconds);
}

bool WindowE2e::waitForIdentification()
{
    return waitUntil([this] { return form->CardReadButton->isEnabled(); }, 60000);
}

bool WindowE2e::finishWork(int milliseconds)
{
    return waitUntil([this] { return !form->isBusy(); }, milliseconds);
}

QStringList WindowE2e::runDownload(QMessageBox::StandardButton answer)
{
    ModalAnswerer user(answer);
    EXPECT_TRUE(form->CardReadButton->isEnabled());
    form->CardReadButton->click();
    EXPECT_TRUE(finishWork());
    return user.texts();
}

QString WindowE2e::logText() const
{
    form->flushLog();
    return form->LogMemo->toPlainText();
}

void WindowE2e::whenLogShows(const QString &text, std::function<void()> action)
{
    logWatch = std::make_unique<QTimer>();
    QObject::connect(logWatch.get(), &QTimer::timeout, [this, text, action = std::move(action)] {
        if (logText().contains(text)) {
            logWatch->stop();
            action();
        }
    });
    logWatch->start(1);
}

void WindowE2e::swapCards(VirtualCard &first, VirtualCard &next)
{
    ASSERT_TRUE(first.remove());
    ASSERT_TRUE(waitUntil([this] { return !form->cardPresent(); }));
    ASSERT_TRUE(next.insert());
    ASSERT_TRUE(pcscd->waitForCard(readerName(0), true));
    ASSERT_TRUE(waitUntil([this] { return form->cardWaiting(); }));
}

QStringList WindowE2e::downloadedFiles() const
{
    return QDir(downloadFolder.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

std::vector<std::uint8_t> WindowE2e::readDownload(const QString &name) const
{
    QFile file(QDir(downloadFolder.path()).filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    return {bytes.begin(), bytes.end()};
}

::testing::AssertionResult isWellFormedDownload(const std::vector<std::uint8_t> &bytes, const std::string &keyPem)
{
    const DddFile::ParseResult parsed = DddFile::parse(bytes);
    if (!parsed.ok)
        return ::testing::AssertionFailure() << "records do not parse: " << parsed.error;
    if (DddFile::encodedLength(parsed.records) != bytes.size())
        return ::testing::AssertionFailure() << "length is not the sum of 5 + L";
    if (const DddCheck order = DddFile::signaturesFollowData(parsed.records); !order.ok)
        return ::testing::AssertionFailure() << order.error;
    if (!keyPem.empty()) {
        if (const DddCheck signatures = DddFile::verifySignatures(parsed.records, keyPem); !signatures.ok)
            return ::testing::AssertionFailure() << signatures.error;
    }
    return ::testing::AssertionSuccess();
}
