// Reading configuration.xml and its hterm files into the model.
#include "config/Configuration.h"
#include "tests/support/SignedConfiguration.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <vector>

namespace {

const QByteArray kSignature = "<signature>" + QByteArray(342, 'A') + "==</signature>";

// Loads `xml` as configuration.xml of `folder`; `loaded` receives load()'s result.
std::unique_ptr<Configuration> loadFrom(const ConfigFolder& folder, const QByteArray& xml, bool* loaded = nullptr)
{
    folder.write(QStringLiteral("configuration.xml"), xml);
    auto configuration = std::make_unique<Configuration>();
    configuration->setDirectory(folder.path());
    const bool result = configuration->load();
    if (loaded)
        *loaded = result;
    return configuration;
}

QByteArray wrap(const QByteArray& children)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n" + children + "\n" + kSignature +
           "\n</configuration>\n";
}

// The hterm files of a configuration are read only when its signature holds.
QByteArray signedWrap(const QByteArray& children)
{
    return signedWith(wrap(children), buildSigningKey().key);
}

QByteArray record(int size, char first)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(first + i);
    return bytes;
}

QByteArray dataOf(const HTerminal* entry)
{
    return QByteArray(reinterpret_cast<const char*>(entry->data), HTerminal::kDataSize);
}

} // namespace

TEST(ConfigurationLoad, MissingFileReturnsFalseAndTouchesNothing)
{
    ConfigFolder folder;
    Configuration configuration;
    configuration.setDirectory(folder.path());
    EXPECT_FALSE(configuration.load());
    EXPECT_TRUE(configuration.operationTitle().isEmpty());
    EXPECT_TRUE(configuration.batches().isEmpty());
    EXPECT_TRUE(configuration.signature.isEmpty());
}

TEST(ConfigurationLoad, EveryFieldOfACompleteFile)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder folder;
    folder.write(QStringLiteral("m10.htm"), packed(record(HTerminal::kDataSize, 1)));
    auto configuration = loadFrom(folder, signedWrap(R"(
  <terminal><name>Model T</name><code>T1</code><image>terminal.png</image><delayReboot>40000</delayReboot></terminal>
  <operation><title>Mise à jour</title><description>Deux lots</description></operation>
  <hterm>m10.htm</hterm>
  <batch id="7"><file>A.BIN</file><file>B.BIN</file></batch>
  <batch id="3"><file>C.BIN</file></batch>)"));
    EXPECT_EQ(configuration->terminal->name, QStringLiteral("Model T"));
    EXPECT_EQ(configuration->terminal->code, QStringLiteral("T1"));
    EXPECT_EQ(configuration->terminalImage(), folder.file(QStringLiteral("terminal.png")));
    EXPECT_EQ(configuration->terminalDelayReboot(), 40000);
    EXPECT_EQ(configuration->operationTitle(), QString::fromUtf8("Mise à jour"));
    EXPECT_EQ(configuration->operationDescription(), QStringLiteral("Deux lots"));

    const QList<Batch*> batches = configuration->batches();
    ASSERT_EQ(batches.size(), 2);
    EXPECT_EQ(batches[0]->id, 7);
    EXPECT_EQ(batches[1]->id, 3);
    ASSERT_EQ(batches[0]->applications.size(), 2);
    EXPECT_EQ(batches[0]->applications[0]->file, folder.file(QStringLiteral("A.BIN")));
    EXPECT_EQ(batches[0]->applications[1]->file, folder.file(QStringLiteral("B.BIN")));
    ASSERT_EQ(batches[1]->applications.size(), 1);
    EXPECT_EQ(batches[1]->applications[0]->file, folder.file(QStringLiteral("C.BIN")));

    ASSERT_EQ(configuration->hterminals().size(), 1);
    EXPECT_EQ(dataOf(configuration->hterminals()[0]), record(HTerminal::kDataSize, 1));
    EXPECT_TRUE(configuration->checkSignature());
}

TEST(ConfigurationLoad, EmptyRootGivesAnEmptyModel)
{
    ConfigFolder folder;
    bool loaded = false;
    auto configuration = loadFrom(folder, "<configuration>" + kSignature + "</configuration>", &loaded);
    EXPECT_TRUE(loaded);
    EXPECT_TRUE(configuration->batches().isEmpty());
    EXPECT_TRUE(configuration->hterminals().isEmpty());
    EXPECT_TRUE(configuration->terminalImage().isEmpty());
    EXPECT_EQ(configuration->terminalDelayReboot(), 0);
    EXPECT_EQ(configuration->signature.size(), 344);
}

TEST(ConfigurationLoad, AnyRootNameAndElementsAtAnyDepth)
{
    ConfigFolder folder;
    auto configuration = loadFrom(folder, "<other><wrap><deeper><operation><title>T</title></operation></deeper></wrap>"
                                          "<batch id=\"1\"/></other>");
    EXPECT_EQ(configuration->operationTitle(), QStringLiteral("T"));
    EXPECT_EQ(configuration->batches().size(), 1);
}

TEST(ConfigurationLoad, NameTwiceKeepsTheSecond)
{
    ConfigFolder folder;
    auto configuration = loadFrom(folder, wrap("<terminal><name>first</name><name>second</name></terminal>"));
    EXPECT_EQ(configuration->terminal->name, QStringLiteral("second"));
}

TEST(ConfigurationLoad, SecondTerminalAndOperationOverwriteOnlyTheFieldsTheyName)
{
    ConfigFolder folder;
    auto configuration = loadFrom(folder, wrap(R"(
  <terminal><name>N1</name><code>C1</code><image>one.png</image><delayReboot>50000</delayReboot></terminal>
  <operation><title>T1</title><description>D1</description></operation>
  <terminal><code>C2</code></terminal>
  <operation><description>D2</description></operation>)"));
    EXPECT_EQ(configuration->terminal->name, QStringLiteral("N1"));
    EXPECT_EQ(configuration->terminal->code, QStringLiteral("C2"));
    EXPECT_EQ(configuration->terminalImage(), folder.file(QStringLiteral("one.png")));
    EXPECT_EQ(configuration->terminalDelayReboot(), 50000);
    EXPECT_EQ(configuration->operationTitle(), QStringLiteral("T1"));
    EXPECT_EQ(configuration->operationDescription(), QStringLiteral("D2"));
}

TEST(ConfigurationLoad, EmptyElementSetsTheEmptyText)
{
    ConfigFolder folder;
    auto configuration = loadFrom(folder, wrap("<operation><title>T1</title></operation>"
                                               "<operation><title/><description></description></operation>"));
    EXPECT_TRUE(configuration->operationTitle().isEmpty());
    EXPECT_TRUE(configuration->operationDescription().isEmpty());
}

TEST(ConfigurationLoad, ValueIsTheOneTokenAfterTheStartTag)
{
    ConfigFolder folder;
    auto configuration = loadFrom(folder, wrap("<operation><title>before<b>bold</b>after</title></operation>"));
    EXPECT_EQ(configuration->operationTitle(), QStringLiteral("before"));
}

TEST(ConfigurationLoad, DelayRebootThatIsNotANumberGivesZero)
{
    for (const char* text : {"soon", "12abc", "", "1.5", "99999999999"}) {
        ConfigFolder folder;
        auto configuration = loadFrom(folder, wrap(QByteArray("<terminal><delayReboot>40000</delayReboot>"
                                                              "<delayReboot>") +
                                                   text + "</delayReboot></terminal>"));
        EXPECT_EQ(configuration->terminalDelayReboot(), 0) << text;
    }
}

TEST(ConfigurationLoad, BatchWithoutIdOrWithABadIdHasIdZero)
{
    ConfigFolder folder;
    auto configuration = loadFrom(folder, wrap("<batch><file>A</file></batch><batch id=\"x2\"><file>B</file></batch>"
                                               "<batch ID=\"4\"/><batch id=\"12\"/>"));
    const QList<Batch*> batches = configuration->batches();
    ASSERT_EQ(batches.size(), 4);
    EXPECT_EQ(batches[0]->id, 0);
    EXPECT_EQ(batches[1]->id, 0);
    EXPECT_EQ(batches[2]->id, 0); // attribute names are case-sensitive
    EXPECT_EQ(batches[3]->id, 12);
}

TEST(ConfigurationLoad, BatchWithoutFilesIsKept)
{
    ConfigFolder folder;
    auto configuration = loadFrom(folder, wrap("<batch id=\"1\"></batch><batch id=\"2\"><file>A</file></batch>"));
    const QList<Batch*> batches = configuration->batches();
    ASSERT_EQ(batches.size(), 2);
    EXPECT_TRUE(batches[0]->applications.isEmpty());
    EXPECT_EQ(batches[1]->applications.size(), 1);
}

TEST(ConfigurationLoad, ValueWithSurroundingWhiteSpaceIsUsedAsWritten)
{
    ConfigFolder folder;
    auto configuration = loadFrom(folder, wrap("<batch id=\"1\">\n  <file>\n    APP.BIN\n  </file>\n</batch>\n"
                                               "<operation><title>  T  </title></operation>"));
    ASSERT_EQ(configuration->batches().size(), 1);
    ASSERT_EQ(configuration->batches()[0]->applications.size(), 1);
    EXPECT_EQ(configuration->batches()[0]->applications[0]->file, folder.file(QStringLiteral("\n    APP.BIN\n  ")));
    EXPECT_EQ(configuration->operationTitle(), QStringLiteral("  T  "));
}

TEST(ConfigurationLoad, MissingHtermFileAddsNoEntry)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder folder;
    folder.write(QStringLiteral("there.htm"), packed(record(8, 'a')));
    bool loaded = false;
    auto configuration =
        loadFrom(folder, signedWrap("<hterm>absent.htm</hterm><hterm/><hterm>there.htm</hterm>"), &loaded);
    EXPECT_TRUE(loaded);
    ASSERT_EQ(configuration->hterminals().size(), 1);
    EXPECT_EQ(dataOf(configuration->hterminals()[0]).left(8), record(8, 'a'));
}

TEST(ConfigurationLoad, HtermRecordOfFiveBytesInOneBlock)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder folder;
    // The filling bytes after the record are not zero, so a reader that copied
    // the whole block would show them.
    QByteArray plainBlock = QByteArray("HELLO") + QByteArray(11, 'x');
    QByteArray container = packed(plainBlock);
    container.replace(0, 4, QByteArray("\0\0\0\x05", 4));
    ASSERT_EQ(container.size(), 4 + 16);
    folder.write(QStringLiteral("five.htm"), container);
    auto configuration = loadFrom(folder, signedWrap("<hterm>five.htm</hterm>"));
    ASSERT_EQ(configuration->hterminals().size(), 1);
    EXPECT_EQ(dataOf(configuration->hterminals()[0]), QByteArray("HELLO") + QByteArray(123, '\0'));
}

TEST(ConfigurationLoad, HtermEntriesFollowTheFileOrder)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder folder;
    folder.write(QStringLiteral("a.htm"), packed(record(HTerminal::kDataSize, 10)));
    folder.write(QStringLiteral("b.htm"), packed(record(20, 50)));
    auto configuration = loadFrom(folder, signedWrap("<hterm>b.htm</hterm><batch/><hterm>a.htm</hterm>"));
    ASSERT_EQ(configuration->hterminals().size(), 2);
    EXPECT_EQ(dataOf(configuration->hterminals()[0]), record(20, 50) + QByteArray(108, '\0'));
    EXPECT_EQ(dataOf(configuration->hterminals()[1]), record(HTerminal::kDataSize, 10));
}

struct MalformedHterm {
    const char* name;
    QByteArray file;
};

TEST(ConfigurationLoad, MalformedHtermFilesAddNoEntry)
{
    REQUIRE_SIGNING_KEY();
    const QByteArray block = packed(QByteArray(16, 'z')).mid(4);
    const QByteArray nineBlocks = packed(QByteArray(144, 'z')).mid(4);
    const std::vector<MalformedHterm> cases = {
        {"empty file", QByteArray()},
        {"shorter than the header", QByteArray("\0\0\0", 3)},
        {"header without body", rawContainer(0, QByteArray())},
        {"partial block", rawContainer(5, block.left(15))},
        {"block and a half", rawContainer(5, block + block.left(8))},
        {"length above the record", rawContainer(129, nineBlocks)},
        {"length above the body", rawContainer(17, block)},
        {"huge length", rawContainer(0xFFFFFFFFu, block)},
    };
    for (const MalformedHterm& test : cases) {
        ConfigFolder folder;
        folder.write(QStringLiteral("bad.htm"), test.file);
        folder.write(QStringLiteral("good.htm"), packed("ok"));
        bool loaded = false;
        auto configuration = loadFrom(folder, signedWrap("<hterm>bad.htm</hterm><hterm>good.htm</hterm>"), &loaded);
        EXPECT_TRUE(loaded) << test.name;
        ASSERT_EQ(configuration->hterminals().size(), 1) << test.name;
        EXPECT_EQ(dataOf(configuration->hterminals()[0]).left(3), QByteArray("ok\0", 3)) << test.name;
    }
}

TEST(ConfigurationLoad, HtermLimitsThatAreStillWellFormed)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder folder;
    // L = 128 over more blocks than it needs; L = 0 in one block.
    QByteArray longBody = packed(record(160, 3));
    longBody.replace(0, 4, QByteArray("\0\0\0\x80", 4));
    folder.write(QStringLiteral("long.htm"), longBody);
    folder.write(QStringLiteral("zero.htm"), packed(QByteArray()));
    auto configuration = loadFrom(folder, signedWrap("<hterm>long.htm</hterm><hterm>zero.htm</hterm>"));
    ASSERT_EQ(configuration->hterminals().size(), 2);
    EXPECT_EQ(dataOf(configuration->hterminals()[0]), record(HTerminal::kDataSize, 3));
    EXPECT_EQ(dataOf(configuration->hterminals()[1]), QByteArray(HTerminal::kDataSize, '\0'));
}

TEST(ConfigurationLoad, BrokenXmlAfterTheBatchesKeepsWhatWasRead)
{
    ConfigFolder folder;
    bool loaded = false;
    auto configuration = loadFrom(folder,
                                  "<configuration><batch id=\"1\"><file>A</file></batch><batch id=\"2\"/>"
                                  "<oops></wrong><batch id=\"3\"/>" +
                                      kSignature + "</configuration>",
                                  &loaded);
    EXPECT_TRUE(loaded);
    ASSERT_EQ(configuration->batches().size(), 2);
    EXPECT_EQ(configuration->batches()[0]->applications.size(), 1);
    EXPECT_EQ(configuration->signature.size(), 344);
}

TEST(ConfigurationLoad, BrokenXmlInsideABatchKeepsTheBatchSoFar)
{
    ConfigFolder folder;
    bool loaded = false;
    auto configuration = loadFrom(folder,
                                  "<configuration><batch id=\"5\"><file>A</file><file>B</fil></batch>"
                                  "<operation><title>late</title></operation></configuration>",
                                  &loaded);
    EXPECT_TRUE(loaded);
    ASSERT_EQ(configuration->batches().size(), 1);
    EXPECT_EQ(configuration->batches()[0]->id, 5);
    EXPECT_EQ(configuration->batches()[0]->applications.size(), 2);
    EXPECT_TRUE(configuration->operationTitle().isEmpty());
}

TEST(ConfigurationLoad, TwoSignatureElementsTheLastTagsCount)
{
    ConfigFolder folder;
    auto configuration =
        loadFrom(folder, "<configuration><signature>first</signature><signature>second</signature></configuration>");
    EXPECT_EQ(configuration->signature, QStringLiteral("second"));
}

TEST(ConfigurationLoad, UnterminatedSignatureElementStoresNoText)
{
    ConfigFolder folder;
    auto configuration = loadFrom(folder, "<configuration><signature>abc</signature><signature>abc\n");
    EXPECT_TRUE(configuration->signature.isEmpty());
}

TEST(ConfigurationLoad, NoSignatureElementGivesNoStoredText)
{
    ConfigFolder folder;
    auto configuration = loadFrom(folder, "<configuration></signature></configuration>");
    EXPECT_TRUE(configuration->signature.isEmpty());
}

TEST(ConfigurationLoad, StoredSignatureStopsAtANulByte)
{
    ConfigFolder folder;
    auto configuration =
        loadFrom(folder, QByteArray("<configuration><signature>ab\0cd</signature></configuration>", 59));
    EXPECT_EQ(configuration->signature, QStringLiteral("ab"));
}

TEST(ConfigurationLoad, ReadingAgainAppendsAndOverwrites)
{
    ConfigFolder folder;
    auto configuration = loadFrom(folder, wrap("<batch id=\"1\"/><operation><title>A</title></operation>"));
    folder.write(QStringLiteral("configuration.xml"), wrap("<batch id=\"2\"/><operation><title>B</title></operation>"));
    ASSERT_TRUE(configuration->load());
    ASSERT_EQ(configuration->batches().size(), 2);
    EXPECT_EQ(configuration->batches()[1]->id, 2);
    EXPECT_EQ(configuration->operationTitle(), QStringLiteral("B"));
}

// ---------------------------------------------------------------- hostile documents

TEST(ConfigurationLoad, DocumentTypeDeclarationStopsTheWalkBeforeAnyExpansion)
{
    // A few hundred bytes that would expand to gigabytes of text.
    QByteArray xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE configuration [\n<!ENTITY a \"" + QByteArray(4000, 'A') +
                     "\">\n]>\n<configuration><operation><title>";
    for (int i = 0; i < 1000; ++i)
        xml += "&a;";
    xml += "</title></operation><batch id=\"1\"/>" + kSignature + "</configuration>";
    ConfigFolder folder;
    bool loaded = false;
    auto configuration = loadFrom(folder, xml, &loaded);
    EXPECT_TRUE(loaded);
    EXPECT_TRUE(configuration->operationTitle().isEmpty());
    EXPECT_TRUE(configuration->batches().isEmpty());
    EXPECT_EQ(configuration->signature.size(), 344);
}

TEST(ConfigurationLoad, NestedEntityDeclarationsAreNotExpanded)
{
    QByteArray xml = "<!DOCTYPE c [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        xml += "<!ENTITY l" + QByteArray::number(i) + " \"";
        for (int j = 0; j < 10; ++j)
            xml += "&l" + QByteArray::number(i - 1) + ";";
        xml += "\">";
    }
    xml += "]><c><terminal><name>&l9;</name></terminal></c>";
    ConfigFolder folder;
    auto configuration = loadFrom(folder, xml);
    EXPECT_TRUE(configuration->terminal->name.isEmpty());
}

TEST(ConfigurationLoad, DeepNestingStopsTheWalk)
{
    QByteArray xml = "<configuration><operation><title>before</title></operation>";
    for (int i = 0; i < 50000; ++i)
        xml += "<x>";
    xml += "<operation><title>inside</title></operation>";
    ConfigFolder folder;
    bool loaded = false;
    auto configuration = loadFrom(folder, xml, &loaded);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(configuration->operationTitle(), QStringLiteral("before"));
}

TEST(ConfigurationLoad, ModerateNestingIsRead)
{
    QByteArray xml = "<configuration>";
    for (int i = 0; i < 20; ++i)
        xml += "<x>";
    xml += "<operation><title>inside</title></operation>";
    for (int i = 0; i < 20; ++i)
        xml += "</x>";
    xml += "<batch id=\"9\"/></configuration>";
    ConfigFolder folder;
    auto configuration = loadFrom(folder, xml);
    EXPECT_EQ(configuration->operationTitle(), QStringLiteral("inside"));
    ASSERT_EQ(configuration->batches().size(), 1);
}

TEST(ConfigurationLoad, HtermNamingAFolderAddsNoEntry)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder folder;
    ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("sub")));
    auto configuration = loadFrom(folder, signedWrap("<hterm>sub</hterm>"));
    EXPECT_TRUE(configuration->hterminals().isEmpty());
}

// ---------------------------------------------------------------- directory, log, ownership

TEST(ConfigurationDirectory, DefaultIsTheConfigurationFolderBesideTheProgram)
{
    Configuration configuration;
    EXPECT_EQ(configuration.directory(),
              QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QStringLiteral("/configuration/")));
    EXPECT_EQ(configuration.configurationPath(), configuration.directory() + QStringLiteral("configuration.xml"));
}

TEST(ConfigurationDirectory, SetDirectoryEndsWithASeparator)
{
    Configuration configuration;
    configuration.setDirectory(QStringLiteral("/some/where"));
    EXPECT_EQ(configuration.directory(), QStringLiteral("/some/where/"));
    configuration.setDirectory(QStringLiteral("/else/"));
    EXPECT_EQ(configuration.directory(), QStringLiteral("/else/"));
}

namespace {
std::vector<std::pair<QtMsgType, QString>> capturedMessages;
void captureMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    capturedMessages.emplace_back(type, message);
}
} // namespace

TEST(ConfigurationLoad, LogsTheOneInformationLineWithTheFolderUsed)
{
    ConfigFolder folder;
    folder.write(QStringLiteral("configuration.xml"), wrap("<hterm>absent</hterm><oops"));
    Configuration configuration;
    configuration.setDirectory(folder.path());
    capturedMessages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    const bool loaded = configuration.load();
    qInstallMessageHandler(previous);
    EXPECT_TRUE(loaded);
    ASSERT_EQ(capturedMessages.size(), 1u);
    EXPECT_EQ(capturedMessages[0].first, QtInfoMsg);
    EXPECT_EQ(capturedMessages[0].second, QStringLiteral("Configuration::load searching in ") + folder.path());
}

TEST(ConfigurationLifetime, TheConfigurationDestroysItsEntries)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder folder;
    folder.write(QStringLiteral("h.htm"), packed("x"));
    auto configuration = loadFrom(folder, signedWrap("<hterm>h.htm</hterm><batch><file>A</file></batch>"));
    ASSERT_EQ(configuration->batches().size(), 1);
    ASSERT_EQ(configuration->hterminals().size(), 1);
    QPointer<Batch> batch = configuration->batches()[0];
    QPointer<Application> application = batch->applications[0];
    QPointer<HTerminal> hterminal = configuration->hterminals()[0];
    QPointer<Terminal> terminal = configuration->terminal;
    configuration.reset();
    EXPECT_TRUE(batch.isNull());
    EXPECT_TRUE(application.isNull());
    EXPECT_TRUE(hterminal.isNull());
    EXPECT_TRUE(terminal.isNull());
}
