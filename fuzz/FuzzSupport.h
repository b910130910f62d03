#pragma once
// What the fuzz targets share: a scratch folder for the files that the
// readers open, a quiet log, and a Link that serves the fuzz bytes as the
// terminal's answers.
#include <QString>
#include <cstddef>
#include <cstdint>

namespace fuzz {

// Drops debug and information lines (the readers log on every run) and
// aborts on a warning: a Qt warning is a bug, and the abort makes it a finding.
void installQuietLog();

// A folder that lives as long as the process, in memory when the system has
// one, with a trailing separator.
const QString& scratchFolder();

// Replaces `name` in the scratch folder with the given bytes.
void writeScratchFile(const QString& name, const uint8_t* data, size_t size);

} // namespace fuzz
