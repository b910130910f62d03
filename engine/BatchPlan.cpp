#include "engine/BatchPlan.h"

#include "engine/FileName.h"
#include "engine/Model.h"
#include "engine/PackageFile.h"
#include "protocol/CommandSet.h"
#include "protocol/Frames.h"
#include "protocol/Steps.h"

#include <algorithm>

namespace {

// What one exchange puts on the line: its request and its answer. The
// slash-frame answers are the terminal's choice and not counted.
qint64 lineBytes(Step step)
{
    const StepRow& r = row(step);
    return requestSize(r) + (r.shape == Shape::Slash ? 0 : r.capacity);
}

// The steps of a file before its blocks, and of a batch around its files.
constexpr Step kBeforeBlocks[] = {Step::Advertise, Step::Authorize, Step::DownloadStart};
constexpr Step kAroundFiles[] = {Step::Opening, Step::Varlenne, Step::Hardware,
                                 Step::List,    Step::Activate, Step::Release};

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
    // One batch on the line, the files aside: its exchanges (of the list,
    // the request and the answer that ends it) and their fixed waits, the
    // terminal's restart last.
    qint64 batchBytes = 0;
    qint64 batchWaitsMs = std::max(configuration.terminalDelayReboot(), Model::kMinimumRestartWaitMs);
    for (const Step step : kAroundFiles) {
        batchBytes += lineBytes(step);
        batchWaitsMs += row(step).settleMs + row(step).afterSendMs;
    }
    qint64 fileBytes = lineBytes(Step::Final); // besides the blocks
    qint64 fileWaitsMs = 0;
    for (const Step step : kBeforeBlocks) {
        fileBytes += lineBytes(step);
        fileWaitsMs += row(step).settleMs;
    }

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
            planned.wireBytes += fileBytes + file.blocks * lineBytes(Step::Block);
            planned.fixedMs += fileWaitsMs;
        }
        planned.wireBytes += batchBytes;
        planned.fixedMs += batchWaitsMs;
        plan.wireBytes += planned.wireBytes;
        plan.fixedMs += planned.fixedMs;
        plan.sent += planned.sent;
        plan.batches.append(planned);
    }
    return plan;
}
