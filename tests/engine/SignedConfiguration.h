#pragma once
// A complete configuration folder as the authoring tools ship it: signed
// configuration.xml, hterm files of the accepted hardware, encrypted packages.
// Used by the tests that run the whole program or the whole engine.
#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

struct PackageFile {
    QString name;       // as written in configuration.xml
    QByteArray content; // plain content the terminal must receive
};

struct ConfigurationSpec {
    int delayReboot = 0;
    std::vector<std::array<uint8_t, 3>> hardware = {{0x01, 0x02, 0x03}};
    std::vector<std::vector<PackageFile>> batches;
};

// Writes everything into `folder` (which ends with '/'); false when the
// build's key cannot sign.
bool writeSignedConfiguration(const QString& folder, const ConfigurationSpec& layout);
