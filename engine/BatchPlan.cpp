#include "engine/BatchPlan.h"

#include "engine/FileName.h"
#include "engine/Model.h"
#include "engine/PackageFile.h"
#include "protocol/CommandSet.h"
#include "protocol/Frames.h"

#include <algorithm>

namespace {

// The three command exchanges before a download (advertisement,
// authorization, start), each a request and an answer.
constexpr int kExchangesBeforeDownload = 3;

PlannedFile planFile(const Application& application)
{
    PlannedFile planned;
    planned.path = application.file;
    // Read the way the download reads it: a regular file, framing checked
    // from its header and its size, nothing of the body held.
    PackageFile package;
    if (!package.open(application.file)) {
        planned.framing = package.framing();
        planned.framingProblem = QLatin1String(containerErrorText(planned.framing));
        planned.state =
            planned.framing == ContainerError::None ? PlannedFile::State::Missing : PlannedFile::State::NotContainer;
        return planned;
    }
    planned.length = package.plainLength();
    const CommandSet::Advertisement advertisement =
        CommandSet::advertisementText(advertisedName(application.file), planned.length);
    if (advertisement.skipped()) {
        planned.state = PlannedFile::State::Skipped;
        planned.skipReason = QString::fromStdString(advertisement.skipReason);
        return planned;
    }
    planned.state = PlannedFile::State::Sent;
    planned.blocks = static_cast<int>((planned.length + kMaxBlockPayload - 1) / kMaxBlockPayload);
    return planned;
}

} // namespace

int BatchPlan::listPacingMs()
{
    return static_cast<int>(kListPacingMs);
}

int BatchPlan::listAnswerBytes()
{
    return kCommandFrameSize;
}

double BatchPlan::perListedApplicationMs()
{
    return kCommandFrameSize / kLineBytesPerSecond * 1000.0 + kListPacingMs;
}

BatchPlan planBatches(const Configuration& configuration)
{
    // One batch on the line, the files aside: opening and Varlenne start
    // (their answers are the terminal's choice and not counted), hardware
    // record, the end of the application list, activation and end of the
    // dialogue; and the fixed waits around them, the terminal's restart last.
    const qint64 slashFrames = static_cast<qint64>(kOpeningFrame.size() + kVarlenneStartFrame.size());
    const qint64 hardwareRecord = kCommandFrameSize + kBlockFrameSize;
    const qint64 listEnd = 2 * kCommandFrameSize;
    const qint64 activationAndRelease = 2 * 2 * kCommandFrameSize;
    const qint64 batchWaitsMs = kHardwareSettleMs + kShortSettleMs + kActivationPauseMs + kShortSettleMs +
                                std::max(configuration.terminalDelayReboot(), Model::kMinimumRestartWaitMs);

    BatchPlan plan;
    for (const Batch* batch : configuration.batches()) {
        PlannedBatch planned;
        planned.id = batch->id;
        for (const Application* application : batch->applications) {
            planned.files.append(planFile(*application));
            const PlannedFile& file = planned.files.last();
            if (file.state == PlannedFile::State::Skipped)
                ++planned.skipped;
            if (file.state != PlannedFile::State::Sent)
                continue;
            ++planned.sent;
            planned.blocks += file.blocks;
            planned.wireBytes += kExchangesBeforeDownload * 2 * kCommandFrameSize +
                                 file.blocks * (kBlockFrameSize + kCommandFrameSize) +
                                 kCommandFrameSize; // the final confirmation
            planned.fixedMs += kExchangesBeforeDownload * kSettleMs;
        }
        planned.wireBytes += slashFrames + hardwareRecord + listEnd + activationAndRelease;
        planned.fixedMs += batchWaitsMs;
        plan.wireBytes += planned.wireBytes;
        plan.fixedMs += planned.fixedMs;
        plan.sent += planned.sent;
        plan.batches.append(planned);
    }
    return plan;
}
