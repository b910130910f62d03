#include "record/SessionRecord.h"

#include "keytools/PemKey.h"
#include "config/Configuration.h"
#include "config/Signature.h"
#include "engine/PackageFile.h"
#include "protocol/Frames.h"
#include "transport/PortProvider.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSysInfo>
#include <QUuid>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

QString utc(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

// The plain package's size and digest, decrypted block by block as the download reads it.
void digestPackage(ConfigurationFacts::Package& package)
{
    PackageFile file;
    if (!file.open(package.file))
        return;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    uint8_t block[4096];
    for (uint32_t left = file.plainLength(); left > 0;) {
        const uint16_t count = static_cast<uint16_t>(std::min<uint32_t>(left, sizeof block));
        if (!file.read(block, count))
            return;
        hash.addData(reinterpret_cast<const char*>(block), count);
        left -= count;
    }
    package.plainSize = file.plainLength();
    package.sha256 = QString::fromLatin1(hash.result().toHex());
}

const QString& trustedKeyFingerprint()
{
    static const QString fingerprint = QString::fromStdString(publicKeyFingerprint(signingPublicKey()));
    return fingerprint;
}

} // namespace

QString workstationHost()
{
    return QSysInfo::machineHostName();
}

QString workstationUser()
{
#ifdef Q_OS_UNIX
    // The account the process runs as, not what the environment claims.
    if (const passwd* entry = getpwuid(geteuid()))
        return QString::fromLocal8Bit(entry->pw_name);
#endif
    const QString user = qEnvironmentVariable("USERNAME");
    return user.isEmpty() ? qEnvironmentVariable("USER") : user;
}

ConfigurationFacts configurationFacts(const Configuration& configuration)
{
    ConfigurationFacts facts;
    facts.title = configuration.operationTitle();
    facts.sha256 = fileSha256(configuration.configurationPath());
    for (const Batch* batch : configuration.batches())
        for (const Application* application : batch->applications) {
            ConfigurationFacts::Package package{application->file, -1, {}};
            digestPackage(package);
            facts.packages.append(package);
        }
    return facts;
}

SessionRecord makeRecord(const InstallationResult& result, const ConfigurationFacts& configuration,
                         const PortInfo& port, const QString& transcript)
{
    SessionRecord record;
    record.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    record.started = utc(result.started);
    record.ended = utc(result.ended);
    record.durationMs = result.started.msecsTo(result.ended);
    record.host = workstationHost();
    record.osUser = workstationUser();
    record.programVersion = QStringLiteral(MIRDAL_VERSION);
    record.keyFingerprint = trustedKeyFingerprint();
    record.configTitle = configuration.title;
    record.configSha256 = configuration.sha256;
    record.portDevice = port.systemLocation;
    record.portLabel = port.portName.isEmpty() ? QString() : portLabel(port);
    record.usbVendor = port.vendorId;
    record.usbProduct = port.productId;
    record.usbSerial = port.serialNumber;
    if (result.hardwareRecord.size() >= kRecordHardwareIdOffset + kHardwareIdSize) {
        const HardwareId id = recordHardwareId(reinterpret_cast<const uint8_t*>(result.hardwareRecord.constData()));
        record.hardwareId = QString::fromLatin1(
            QByteArray(reinterpret_cast<const char*>(id.data()), static_cast<int>(id.size())).toHex());
        record.hardwareRecord = QString::fromLatin1(result.hardwareRecord.toHex());
    }
    record.acceptedEntry = result.acceptedEntry;
    record.applications = result.applications;
    record.success = result.success;
    record.title = result.title;
    record.text = result.text;
    record.stage = result.stage;
    record.cause = result.cause;
    record.transcript = transcript;
    for (const BatchResult& batch : result.batches)
        for (const FileResult& file : batch.files) {
            FileRecord row;
            row.batch = batch.id;
            row.name = file.name;
            for (const ConfigurationFacts::Package& package : configuration.packages)
                if (package.file == file.file) {
                    row.plainSize = package.plainSize;
                    row.sha256 = package.sha256;
                }
            row.advertised = file.advertised;
            row.skipped = file.skipped;
            row.attempts = file.attempts;
            row.resends = file.resends;
            row.downloaded = file.downloaded;
            row.installed = file.installed;
            record.files.append(row);
        }
    return record;
}
