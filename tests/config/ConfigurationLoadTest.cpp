// Reading configuration.xml and its hterm files into the model.
#include "config/Configuration.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SignedConfiguration.h"

#include <QCoreApplication>
#include <QDir>

namespace {

const QByteArray kSignature = "<signature>" + QByteArray(342, 'A') + "==</signature>";

QByteArray wrap(const QByteArray& children)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n" + children + "\n" + kSignature +
           "\n</configuration>\n";
}

QByteArray nested(int depth, const QByteArray& inside)
{
    return QByteArray("<x>").repeated(depth) + inside + QByteArray("</x>").repeated(depth);
}

// " a0='' a1='' ...": `count` attributes.
QByteArray attributes(int count)
{
    QByteArray list;
    for (int i = 0; i < count; ++i)
        list += " a" + QByteArray::number(i) + "=''";
    return list;
}

// The model in one line: terminal name|code|image|delay|operation title|description,
// then each batch as id[files], then the stored signature (its length when 344
// characters long), then "refused" when load() fails; paths from the configuration folder start with "@".
QString describe(const Configuration& c, const QString& folder)
{
    QStringList fields = {c.terminal->name,   c.terminal->code,
                          c.terminalImage(),  QString::number(c.terminalDelayReboot()),
                          c.operationTitle(), c.operationDescription()};
    QString out = fields.join('|');
    for (const Batch* batch : c.batches()) {
        QStringList files;
        for (const Application* application : batch->applications)
            files << application->file;
        out += QStringLiteral(" %1[%2]").arg(batch->id).arg(files.join(','));
    }
    out += " sig:" + (c.signature.size() == 344 ? QStringLiteral("344") : c.signature);
    return out.replace(folder, QStringLiteral("@"));
}

TEST(ConfigurationLoad, TextGivesTheModel)
{
    std::vector<std::pair<QByteArray, QString>> cases = {
        {QByteArray(), "|||0|| sig: refused"}, // no file: load() fails and touches nothing
        {wrap("<terminal><name>Model T</name><code>T1</code><image>terminal.png</image><delayReboot>40000"
              "</delayReboot></terminal><operation><title>Mise à jour</title><description>Deux lots</description>"
              "</operation><batch id=\"7\"><file>A.BIN</file><file>B.BIN</file></batch><batch id=\"3\"><file>C.BIN"
              "</file></batch>"),
         "Model T|T1|@terminal.png|40000|Mise à jour|Deux lots 7[@A.BIN,@B.BIN] 3[@C.BIN] sig:344"},
        {"<configuration>" + kSignature + "</configuration>", "|||0|| sig:344"},
        {"<other><w><d><operation><title>T</title></operation></d></w><batch id=\"1\"/></other>", "|||0|T| 1[] sig:"},
        {wrap("<terminal><name>first</name><name>second</name></terminal>"), "second|||0|| sig:344"},
        {wrap("<terminal><name>N1</name><code>C1</code><image>one.png</image><delayReboot>50000</delayReboot>"
              "</terminal><operation><title>T1</title><description>D1</description></operation>"
              "<terminal><code>C2</code></terminal><operation><description>D2</description></operation>"),
         "N1|C2|@one.png|50000|T1|D2 sig:344"},
        {wrap("<operation><title>T1</title></operation><operation><title/><description></description></operation>"),
         "|||0|| sig:344"},
        {wrap("<operation><title>before<b>bold</b>after</title></operation>"), "|||0|before| sig:344"},
        {wrap("<batch><file>A</file></batch><batch id=\"x2\"><file>B</file></batch><batch ID=\"4\"/>"
              "<batch id=\"12\"/>"),
         "|||0|| 0[@A] 0[@B] 0[] 12[] sig:344"},
        {wrap(
             "<batch id=\"1\">\n  <file>\n    APP.BIN\n  </file>\n</batch><operation><title>  T  </title></operation>"),
         "|||0|  T  | 1[@\n    APP.BIN\n  ] sig:344"},
        {"<configuration><batch id=\"1\"><file>A</file></batch><batch id=\"2\"/><oops></wrong><batch id=\"3\"/>" +
             kSignature + "</configuration>",
         "|||0|| 1[@A] 2[] sig:344"},
        {"<configuration><batch id=\"5\"><file>A</file><file>B</fil></batch><operation><title>late</title>",
         "|||0|| 5[@A,@B] sig:"},
        {"<configuration><signature>first</signature><signature>second</signature></configuration>",
         "|||0|| sig:second"},
        {"<configuration><signature>abc</signature><signature>abc\n", "|||0|| sig:"},
        {"<configuration></signature></configuration>", "|||0|| sig:"},
        {QByteArray("<configuration><signature>ab\0cd</signature></configuration>", 59), "|||0|| sig:ab"},
        // A document type declaration is read; entity declarations (expansion), nesting over 32 levels and over
        // 64 attributes on an element refuse the file.
        {"<!DOCTYPE configuration>\n<configuration><batch id=\"1\"/>" + kSignature + "</configuration>",
         "|||0|| 1[] sig:344"},
        {"<!DOCTYPE c [<!-- ' --><!ATTLIST batch id CDATA '8'><?pi \" ?>]><c><batch/>" + kSignature + "</c>",
         "|||0|| 8[] sig:344"},
        {"<!DOCTYPE c [<!ENTITY a \"x\">]><configuration><operation><title>&a;</title></operation>"
         "<batch id=\"1\"/>" +
             kSignature + "</configuration>",
         "|||0|| sig:344 refused"},
        {"<c><operation><title>before</title></operation>" + nested(33, "<operation><title>in</title></operation>"),
         "|||0|before| sig: refused"},
        {"<c>" + nested(29, "<operation><title>in</title></operation>") + "<batch id=\"9\"/></c>", "|||0|in| 9[] sig:"},
        {"<c><batch id=\"1\"" + attributes(63) + "/><batch" + attributes(65) + "/></c>", "|||0|| 1[] sig: refused"},
    };
    for (const char* delay : {"soon", "12abc", "", "1.5", "99999999999"})
        cases.push_back({wrap("<terminal><delayReboot>40000</delayReboot><delayReboot>" + QByteArray(delay) +
                              "</delayReboot></terminal>"),
                         "|||0|| sig:344"});
    for (const auto& [xml, expected] : cases) {
        ConfigFolder folder;
        if (!xml.isNull())
            folder.write(QStringLiteral("configuration.xml"), xml);
        Configuration configuration;
        configuration.setDirectory(folder.path());
        const bool loaded = configuration.load();
        EXPECT_EQ(describe(configuration, folder.path()) + (loaded ? "" : " refused"), expected);
    }
}

// An hterm file gives an entry, its record's L bytes (all the body's when L is larger) then zeros, only when it is a
// well-formed container whose record holds the identification (bytes 8 to 10) and fits in 128 bytes; the entries
// keep the file order. Here "h.htm" is named before a good file.
TEST(ConfigurationLoad, HtermFiles)
{
    REQUIRE_SIGNING_KEY();
    const QByteArray block = packed(QByteArray(16, 'z')).mid(4), eleven = "HELLO-WORLD", zs = QByteArray(16, 'z');
    QByteArray record;
    for (int i = 0; i < 160; ++i)
        record += char(3 + i);
    const std::vector<std::pair<QByteArray, QByteArray>> cases = {
        {"missing", QByteArray()},
        {"folder", QByteArray()},
        {QByteArray("\0\0\0", 3), QByteArray()},
        {rawContainer(11, QByteArray()), QByteArray()},
        {rawContainer(11, block.left(15)), QByteArray()},
        {rawContainer(129, packed(QByteArray(144, 'z')).mid(4)), QByteArray()},
        {rawContainer(0xFFFFFFFFu, packed(QByteArray(144, 'z')).mid(4)), QByteArray()},
        {rawContainer(10, packed(eleven).mid(4)), QByteArray()},
        {packed(QByteArray()), QByteArray()},
        {rawContainer(11, packed(eleven + "xxxxx").mid(4)), eleven + QByteArray(117, '\0')},
        {rawContainer(0xFFFFFFFFu, block), zs + QByteArray(112, '\0')},
        {rawContainer(200, packed(record.left(128)).mid(4)), record.left(128)},
        {rawContainer(128, packed(record).mid(4)), record.left(128)},
        {packed(record.left(20)), record.left(20) + QByteArray(108, '\0')},
    };
    for (const auto& [file, expected] : cases) {
        ConfigFolder folder;
        if (file == "folder")
            ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("h.htm")));
        else if (file != "missing")
            folder.write(QStringLiteral("h.htm"), file);
        folder.write(QStringLiteral("ok.htm"), packed(eleven));
        folder.write(QStringLiteral("configuration.xml"),
                     signedWith(wrap("<hterm>h.htm</hterm><hterm/><hterm>ok.htm</hterm>"), buildSigningKey().key));
        Configuration configuration;
        configuration.setDirectory(folder.path());
        ASSERT_TRUE(configuration.load()) << file.toHex().left(40).constData();
        QList<QByteArray> entries;
        for (const HTerminal* entry : configuration.hterminals())
            entries << QByteArray(reinterpret_cast<const char*>(entry->data), 128);
        EXPECT_EQ(entries, (expected.isNull() ? QList<QByteArray>() : QList<QByteArray>{expected}) +
                               QList<QByteArray>{eleven + QByteArray(117, '\0')})
            << file.toHex().left(40).constData();
        EXPECT_TRUE(configuration.checkSignature());
    }
}

TEST(ConfigurationLoad, FolderAndTheOneLogLine)
{
    Configuration configuration;
    EXPECT_EQ(configuration.directory(),
              QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QStringLiteral("/configuration/")));
    EXPECT_EQ(configuration.configurationPath(), configuration.directory() + QStringLiteral("configuration.xml"));
    configuration.setDirectory(QStringLiteral("/some/where"));
    EXPECT_EQ(configuration.directory(), QStringLiteral("/some/where/"));
    ConfigFolder folder;
    folder.write(QStringLiteral("configuration.xml"), wrap("<hterm>absent</hterm><oops"));
    configuration.setDirectory(folder.path());
    const LogCapture log;
    EXPECT_TRUE(configuration.load());
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("Configuration::load searching in ") + folder.path()});
}

} // namespace
