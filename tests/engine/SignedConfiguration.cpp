#include "tests/engine/SignedConfiguration.h"

#include "tests/config/TestSupport.h"

#include <QFile>

namespace {

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// A hardware record whose bytes 8 to 10 identify the accepted hardware.
QByteArray hardwareRecord(const std::array<uint8_t, 3>& id)
{
    QByteArray record(128, '\0');
    for (int i = 0; i < 3; ++i)
        record[8 + i] = static_cast<char>(id[static_cast<size_t>(i)]);
    return record;
}

} // namespace

bool writeSignedConfiguration(const QString& folder, const ConfigurationSpec& layout)
{
    if (!buildSigningKey().hasPrivate)
        return false;
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n"
                     "  <terminal><name>Test terminal</name><code>T1</code><image>terminal.png</image>"
                     "<delayReboot>" +
                     QByteArray::number(layout.delayReboot) +
                     "</delayReboot></terminal>\n"
                     "  <operation><title>Mise à jour</title><description>Test</description></operation>\n";
    for (size_t i = 0; i < layout.hardware.size(); ++i) {
        const QString name = QStringLiteral("hardware%1.hterm").arg(i);
        if (!writeBytes(folder + name, packed(hardwareRecord(layout.hardware[i]))))
            return false;
        xml += "  <hterm>" + name.toUtf8() + "</hterm>\n";
    }
    for (size_t b = 0; b < layout.batches.size(); ++b) {
        xml += "  <batch id=\"" + QByteArray::number(static_cast<int>(b) + 1) + "\">\n";
        for (const PackageFile& file : layout.batches[b]) {
            if (!writeBytes(folder + file.name, packed(file.content)))
                return false;
            xml += "    <file>" + file.name.toUtf8() + "</file>\n";
        }
        xml += "  </batch>\n";
    }
    xml += "</configuration>\n";
    return writeBytes(folder + QStringLiteral("configuration.xml"), signedWith(xml, buildSigningKey().key));
}
