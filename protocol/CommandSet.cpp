#include "protocol/CommandSet.h"

#include "protocol/Crc16.h"
#include "protocol/Framing.h"
#include "protocol/Line.h"
#include "protocol/Steps.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

// What arrived, in a zero-filled buffer large enough for every capacity.
struct Answer {
    std::array<uint8_t, kLongestAnswer> bytes{};
    uint16_t count = 0;
    bool damaged = false; // accepted with a wrong CRC: its rest may still come
};

// One request/answer exchange, described by data so that every command runs
// the same steps: settle pause, write, (pause), receive, judge, clear.
struct Exchange {
    const uint8_t* request = nullptr; // nullptr: only receive
    uint16_t requestSize = 0;
    uint32_t settleMs = 0;          // before the request
    uint32_t afterSendMs = 0;       // between request and reception
    bool clearBeforeRequest = true; // drop what earlier exchanges left before writing
    Reception reception = Reception::Read;
    Shape shape = Shape::Command;
    uint16_t capacity = kCommandFrameSize;
    int timeoutMs = 0;                // Read: the wait for the first bytes
    int deadlineMs = 0;               // ReadFull: the whole answer's deadline
    bool exactLength = false;         // Read fails unless the whole capacity came
    uint16_t crcOffset = 0;           // 0: no CRC test (slash-frame answers)
    bool crcOnlyLogged = false;       // a wrong CRC is reported, not failed
    std::array<uint8_t, 3> leading{}; // expected first bytes of the answer
    size_t leadingCount = 0;
    std::function<ExchangeFailure(const Answer&)> accept; // the command's own last test
    bool clearOnSuccess = true;
};

using Kind = ExchangeFailure::Kind;

ExchangeFailure failure(Kind kind)
{
    return ExchangeFailure{kind};
}

ExchangeFailure timeOut(uint16_t received, int timeoutMs, uint16_t expected)
{
    ExchangeFailure outcome{Kind::TimeOut};
    outcome.bytesReceived = received;
    outcome.timeoutMs = timeoutMs;
    outcome.bytesExpected = expected;
    return outcome;
}

ExchangeFailure shortAnswer(uint16_t received, uint16_t expected)
{
    ExchangeFailure outcome{Kind::ShortAnswer};
    outcome.bytesReceived = received;
    outcome.bytesExpected = expected;
    return outcome;
}

// The failure of an answer judged by its first `telling` bytes (echo,
// marker and result of a command answer).
ExchangeFailure judged(Kind kind, const Answer& answer, uint16_t telling = kResultOffset + 1)
{
    ExchangeFailure outcome{kind};
    outcome.bytesReceived = answer.count;
    outcome.leadingCount = std::min<uint16_t>({telling, answer.count, static_cast<uint16_t>(outcome.leading.size())});
    std::copy_n(answer.bytes.begin(), outcome.leadingCount, outcome.leading.begin());
    return outcome;
}

// The length the answer will have once whole, as far as its first `count`
// bytes tell; 0 when they cannot tell (a slash-frame answer without its "/").
uint16_t frameLength(Shape shape, const uint8_t* bytes, uint16_t count)
{
    switch (shape) {
    case Shape::Command: return kCommandFrameSize;
    case Shape::Block: return kBlockFrameSize;
    case Shape::Slash:
        if (bytes[0] != kSlashStart)
            return 0;
        if (count <= kSlashCountOffset)
            return kSlashHeaderSize; // the count byte is still on its way
        return static_cast<uint16_t>(kSlashOverhead + bytes[kSlashCountOffset]);
    }
    return 0;
}

// Gathers the rest of an answer whose first `answer.count` bytes are in: a
// frame of known length until it is whole or its rest has had its line time
// and the margin, any other until the line stays quiet. What lies beyond the
// frame's end stays on the line for the next reader.
void gatherRest(Link& link, Shape shape, Answer& answer)
{
    using namespace std::chrono;
    const auto begun = steady_clock::now();
    const uint16_t first = answer.count;
    for (;;) {
        const uint16_t whole = frameLength(shape, answer.bytes.data(), answer.count);
        if (whole != 0 && answer.count >= whole)
            return;
        int waitMs = kQuietGapMs;
        if (whole != 0) {
            // Once its budget is spent a frame takes only what is already in.
            const int budget = lineTimeMs(whole - first) + kAnswerRestMarginMs;
            const auto spent = duration_cast<milliseconds>(steady_clock::now() - begun).count();
            if (spent > budget)
                return;
            waitMs = static_cast<int>(budget - spent);
        }
        const uint16_t target = whole != 0 ? std::min(whole, kLongestAnswer) : kLongestAnswer;
        uint16_t length = static_cast<uint16_t>(target - answer.count);
        if (length == 0 || !link.read(answer.bytes.data() + answer.count, length, waitMs))
            return;
        answer.count = static_cast<uint16_t>(answer.count + length);
    }
}

// The first bytes within the time-out, then the rest by the answer's shape.
// Bytes past the capacity are dropped: the command never sees them.
ExchangeFailure readAnswer(Link& link, const Exchange& exchange, Answer& answer)
{
    uint16_t length = exchange.capacity;
    if (!link.read(answer.bytes.data(), length, exchange.timeoutMs))
        return timeOut(0, exchange.timeoutMs, exchange.capacity);
    answer.count = length;
    gatherRest(link, exchange.shape, answer);
    link.answerEnded();
    if (answer.count > exchange.capacity) {
        std::fill(answer.bytes.begin() + exchange.capacity, answer.bytes.end(), uint8_t{0});
        answer.count = exchange.capacity;
    }
    if (exchange.exactLength && answer.count < exchange.capacity)
        return shortAnswer(answer.count, exchange.capacity);
    return {};
}

ExchangeFailure receive(Link& link, const Exchange& exchange, Answer& answer)
{
    answer = Answer{};
    uint16_t length = exchange.capacity;
    switch (exchange.reception) {
    case Reception::None: return {};
    case Reception::Read: return readAnswer(link, exchange, answer);
    case Reception::ReadFull:
        // A whole read that fails tells no count: the answer did not come
        // whole before its deadline, or the line failed.
        if (!link.readFull(answer.bytes.data(), length, exchange.deadlineMs + lineTimeMs(exchange.capacity)))
            return timeOut(0, -1, exchange.capacity);
        answer.count = length;
        if (length != exchange.capacity)
            return shortAnswer(length, exchange.capacity);
        return {};
    }
    return failure(Kind::TimeOut);
}

// A wrong CRC over an answer shorter than the bytes it covers is a short
// answer: its missing bytes were taken as zeros.
ExchangeFailure crcJudged(const Exchange& exchange, Answer& answer, const CommandSet::Log& debugLog)
{
    if (exchange.crcOffset == 0 || crc16Check(answer.bytes.data(), exchange.crcOffset))
        return {};
    if (!exchange.crcOnlyLogged) {
        const uint16_t covered = static_cast<uint16_t>(exchange.crcOffset + kCrcSize);
        return answer.count < covered ? shortAnswer(answer.count, covered) : failure(Kind::Crc);
    }
    if (debugLog)
        debugLog("CRC fails: " + std::to_string(answer.count));
    answer.damaged = true;
    return {};
}

// Echo and marker wrong: not the answer expected; only the result byte
// wrong: the terminal said no.
ExchangeFailure leadingJudged(const Exchange& exchange, const Answer& answer)
{
    const auto end = exchange.leading.begin() + exchange.leadingCount;
    const auto mismatch = std::mismatch(exchange.leading.begin(), end, answer.bytes.begin());
    if (mismatch.first == end)
        return {};
    const bool resultOnly = mismatch.first - exchange.leading.begin() == kResultOffset;
    return judged(resultOnly ? Kind::Refused : Kind::UnexpectedAnswer, answer);
}

// Reads and drops what the line still carries until it stays quiet, for at
// most kSettleAfterFailureMs: the rest of a wrong answer, or what the
// terminal sends after it, arrives at the line's pace.
void waitForQuiet(Link& link)
{
    using namespace std::chrono;
    const auto end = steady_clock::now() + milliseconds(kSettleAfterFailureMs);
    std::array<uint8_t, kLongestAnswer> dropped{};
    for (uint16_t length = dropped.size(); steady_clock::now() < end; length = dropped.size()) {
        if (!link.read(dropped.data(), length, kQuietGapMs))
            return;
    }
}

ExchangeFailure exchangeOnce(ExchangeContext& context, const Exchange& exchange, Answer& answer)
{
    StopGate& link = context.link;
    if (exchange.request) {
        if (exchange.settleMs > 0)
            context.clock.sleepMs(exchange.settleMs);
        // An answer that came after its exchange gave up must not pass for
        // the answer to this request.
        if (exchange.clearBeforeRequest) {
            if (context.lineUnsettled)
                waitForQuiet(link);
            link.clearInput();
        }
        if (!link.write(exchange.request, exchange.requestSize))
            return failure(link.refusing() ? Kind::Stopped : Kind::WriteFailed);
        if (exchange.afterSendMs > 0)
            context.clock.sleepMs(exchange.afterSendMs);
    }
    ExchangeFailure outcome = receive(link, exchange, answer);
    if (outcome.kind != Kind::None || exchange.reception == Reception::None)
        return outcome;
    outcome = crcJudged(exchange, answer, context.debugLog);
    if (outcome.kind == Kind::None)
        outcome = leadingJudged(exchange, answer);
    if (outcome.kind == Kind::None && exchange.accept)
        outcome = exchange.accept(answer);
    if (outcome.kind != Kind::None)
        return outcome;
    if (exchange.clearOnSuccess)
        link.clearInput();
    return {};
}

// Whether a failed command may leave bytes on their way: not when its
// request never left.
bool unsettles(const ExchangeFailure& outcome)
{
    return outcome.kind != Kind::None && outcome.kind != Kind::WriteFailed && outcome.kind != Kind::Stopped;
}

ExchangeFailure runExchange(ExchangeContext& context, const Exchange& exchange, Answer& answer)
{
    const ExchangeFailure outcome = exchangeOnce(context, exchange, answer);
    context.lineUnsettled = unsettles(outcome) || answer.damaged;
    return outcome;
}

// --- Exchanges from their rows ---------------------------------------------

// The exchange of a step as its row declares it; the request is the row's
// slash frame or, for a command, `frame`.
Exchange exchangeFor(Step step, const uint8_t* frame = nullptr, uint16_t frameSize = 0)
{
    const StepRow& r = row(step);
    Exchange exchange;
    exchange.request = r.slash ? r.slash : frame;
    exchange.requestSize = r.slash ? r.slashSize : frameSize;
    exchange.settleMs = r.settleMs;
    exchange.afterSendMs = r.afterSendMs;
    exchange.reception = r.reception;
    exchange.shape = r.shape;
    exchange.capacity = r.capacity;
    (r.reception == Reception::ReadFull ? exchange.deadlineMs : exchange.timeoutMs) = r.waitMs;
    exchange.crcOffset = r.shape == Shape::Command ? kCommandCrcOffset
                         : r.shape == Shape::Block ? kBlockCrcOffset
                                                   : 0; // slash-frame answers are judged by content only
    exchange.leading = r.lead;
    exchange.leadingCount = r.leadCount;
    // The input is kept as it is before a slash frame: the opening takes any
    // byte as the terminal's answer (a late answer to an earlier attempt is
    // one), the Varlenne start follows the opening's own clearing, and the
    // release answers are not judged.
    exchange.clearBeforeRequest = r.shape != Shape::Slash;
    return exchange;
}

// The exchange keeps the frame's address: the frame must outlive it.
template <size_t N>
Exchange exchangeFor(Step step, const std::array<uint8_t, N>& frame)
{
    return exchangeFor(step, frame.data(), static_cast<uint16_t>(N));
}
template <size_t N>
Exchange exchangeFor(Step step, const std::array<uint8_t, N>&& frame) = delete;

ExchangeFailure varlenneStarted(const Answer& answer)
{
    if (std::equal(kVarlenneRefusal.begin(), kVarlenneRefusal.end(), answer.bytes.begin() + kVarlenneRefusalOffset))
        return judged(Kind::Refused, answer, static_cast<uint16_t>(kVarlenneRefusalOffset + kVarlenneRefusal.size()));
    for (uint16_t i = 0; i < answer.count && answer.bytes[i] != 0; ++i) {
        if (answer.bytes[i] == kVarlenneAccepted)
            return {};
    }
    return judged(Kind::UnexpectedAnswer, answer, row(Step::Varlenne).capacity);
}

// The name of one application-list answer. A length byte above 28 would
// reach past the frame: we cut the name at 28 bytes rather than refuse the
// list, since the bytes that are there are still the name's beginning.
std::string applicationName(const Answer& answer)
{
    const uint16_t length = std::min<uint16_t>(answer.bytes[kNameLengthOffset], kMaxNameLength);
    const auto* begin = answer.bytes.data() + kNameOffset;
    const auto* end = std::find(begin, begin + length, uint8_t{0});
    return std::string(begin, end);
}

} // namespace

// --- Failures ---------------------------------------------------------------

namespace {

std::string hex(const uint8_t* bytes, size_t count)
{
    std::string text;
    char digits[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += digits;
    }
    return text;
}

} // namespace

std::string ExchangeFailure::describe() const
{
    switch (kind) {
    case Kind::None: return {};
    case Kind::TimeOut:
        if (timeoutMs < 0)
            return "no whole answer of " + std::to_string(bytesExpected) + " bytes";
        return "no answer within " + std::to_string(timeoutMs) + " ms (" + std::to_string(bytesReceived) + " bytes)";
    case Kind::ShortAnswer:
        return "answer of " + std::to_string(bytesReceived) + " bytes, " + std::to_string(bytesExpected) + " expected";
    case Kind::Crc: return "wrong CRC";
    case Kind::UnexpectedAnswer: return "unexpected answer " + hex(leading.data(), leadingCount);
    case Kind::Refused: return "refused by the terminal (answer " + hex(leading.data(), leadingCount) + ")";
    case Kind::ResendLimit: return std::to_string(resendRequests) + " resend requests in a row";
    case Kind::WriteFailed: return "write failed (the device may be gone)";
    case Kind::Stopped: return "stopped on request";
    case Kind::ContentUnreadable: return "the content to send cannot be read";
    case Kind::TooManyNames: return "more than " + std::to_string(kMaxApplications) + " application names";
    }
    return {};
}

bool CommandSet::settle(const ExchangeFailure& outcome)
{
    lastFailure_ = outcome;
    // A command may fail on an answer its exchange accepted (a list that
    // does not end, a refused block): the terminal may still be sending.
    context_.lineUnsettled = context_.lineUnsettled || unsettles(outcome);
    return outcome.kind == Kind::None;
}

// --- Opening, Varlenne, hardware record, application list -------------------

bool CommandSet::initTerminal()
{
    const Exchange exchange = exchangeFor(Step::Opening);
    for (int attempt = 0; attempt < kOpeningAttempts; ++attempt) {
        Answer answer;
        if (settle(runExchange(context_, exchange, answer)))
            return true;
    }
    return false;
}

bool CommandSet::startVarlenne()
{
    Exchange exchange = exchangeFor(Step::Varlenne);
    exchange.accept = varlenneStarted;
    Answer answer;
    return settle(runExchange(context_, exchange, answer));
}

bool CommandSet::readHardwareConfiguration(std::array<uint8_t, 126>& record)
{
    static_assert(sizeof(record) == kBlockCrcOffset, "the record is the body of a block frame");
    const CommandFrame frame = commandFrame(row(Step::Hardware).code);
    Exchange exchange = exchangeFor(Step::Hardware, frame);
    exchange.accept = [&record](const Answer& answer) {
        std::copy_n(answer.bytes.begin(), record.size(), record.begin());
        return ExchangeFailure{};
    };
    Answer answer;
    return settle(runExchange(context_, exchange, answer));
}

bool CommandSet::readApplicationList(std::vector<std::string>& names)
{
    const StepRow& list = row(Step::List);
    const CommandFrame frame = commandFrame(list.code);
    Exchange request = exchangeFor(Step::List, frame);
    request.reception = Reception::None;
    Answer answer;
    if (!settle(runExchange(context_, request, answer)))
        return false;
    names.clear();

    // Answers follow without further requests, each one whole. The first
    // cannot begin before the request itself has crossed the line, which
    // takes longer than the answers' short wait, and the terminal has read
    // it: its wait counts from then, with the margin a USB adapter may hold
    // the first bytes back.
    Exchange next = exchangeFor(Step::List);
    next.timeoutMs = list.waitMs + lineTimeMs(frame.size()) + kAnswerRestMarginMs;
    next.exactLength = true;
    next.clearOnSuccess = false;
    for (;;) {
        const bool read = settle(runExchange(context_, next, answer));
        next.timeoutMs = list.waitMs;
        if (!read)
            return false;
        if (answer.bytes[kNameLengthOffset] == 0) {
            link_.clearInput();
            return true;
        }
        if (names.size() == kMaxApplications)
            return settle(failure(Kind::TooManyNames));
        names.push_back(applicationName(answer));
        clock_.sleepMs(kListPacingMs);
    }
}

// --- Authorization, activation, end of dialogue -----------------------------

bool CommandSet::requestAuthorization()
{
    CommandFrame frame{};
    frame[0] = row(Step::Authorize).code;
    frame[kAuthorizationParameterOffset] = kAuthorizationParameter;
    sealCommandFrame(frame);
    const Exchange exchange = exchangeFor(Step::Authorize, frame);
    Answer answer;
    return settle(runExchange(context_, exchange, answer));
}

bool CommandSet::activateFiles()
{
    const CommandFrame frame = commandFrame(row(Step::Activate).code);
    const Exchange exchange = exchangeFor(Step::Activate, frame);
    Answer answer;
    return settle(runExchange(context_, exchange, answer));
}

namespace {

// The exchanges of the clean-up go even after a stop was asked for.
class CleanUp {
public:
    explicit CleanUp(StopGate& gate) : gate_(gate) { gate_.cleaningUp = true; }
    ~CleanUp() { gate_.cleaningUp = false; }

private:
    StopGate& gate_;
};

} // namespace

bool CommandSet::releaseTerminal()
{
    const CleanUp cleanUp(gate_);
    const CommandFrame frame = commandFrame(row(Step::Release).code);
    const Exchange exchange = exchangeFor(Step::Release, frame);
    Answer answer;
    return settle(runExchange(context_, exchange, answer));
}

void CommandSet::sendReleaseFrames()
{
    const CleanUp cleanUp(gate_);
    // The answers are not judged: the frames only put the terminal back to
    // its own menu, and the second one is worth sending only to a port that
    // answered the first.
    Exchange first = exchangeFor(Step::FirstRelease);
    first.clearOnSuccess = false;
    Exchange second = exchangeFor(Step::SecondRelease);
    second.clearOnSuccess = false;
    Answer answer;
    if (settle(runExchange(context_, first, answer)))
        settle(runExchange(context_, second, answer));
}

// --- File transfer ----------------------------------------------------------

std::string CommandSet::lengthField(uint32_t length)
{
    std::string digits = std::to_string(length);
    if (length > kMaxShortLength)
        return digits + kLongLengthEnd;
    return std::string(kShortLengthDigits - digits.size(), '0') + digits;
}

CommandSet::Advertisement CommandSet::advertisementText(const std::string& name, uint32_t length)
{
    Advertisement advertisement;
    const std::string text = lengthField(length) + name;
    if (text.size() > kMaxAdvertisementText)
        advertisement.skipReason = "length field and name take " + std::to_string(text.size()) + " bytes, at most " +
                                   std::to_string(kMaxAdvertisementText);
    else
        advertisement.text = text;
    return advertisement;
}

bool CommandSet::advertise(const std::string& name, uint32_t length, bool& skip)
{
    const Advertisement advertisement = advertisementText(name, length);
    skip = advertisement.skipped();
    if (skip)
        return settle({});
    const CommandFrame frame = advertisementFrame(advertisement.text);
    const Exchange exchange = exchangeFor(Step::Advertise, frame);
    Answer answer;
    return settle(runExchange(context_, exchange, answer));
}

bool CommandSet::download(const uint8_t* content, uint32_t length, const std::function<void(int)>& progress)
{
    uint32_t taken = 0;
    const ContentSource fromMemory = [&](uint8_t* data, uint16_t count) {
        std::copy_n(content + taken, count, data);
        taken += count;
        return true;
    };
    return download(length, fromMemory, progress);
}

bool CommandSet::download(uint32_t length, const ContentSource& next, const std::function<void(int)>& progress)
{
    const CommandFrame start = commandFrame(row(Step::DownloadStart).code);
    Exchange startExchange = exchangeFor(Step::DownloadStart, start);
    // A terminal may already have queued more; the first block's answer is read whole anyway.
    startExchange.clearOnSuccess = false;
    Answer answer;
    if (!settle(runExchange(context_, startExchange, answer)))
        return false;

    uint32_t sent = 0;
    uint16_t number = 0; // wraps after 65535 like the 16-bit field
    resendRequests_ = 0;
    while (sent < length) {
        const uint16_t count = static_cast<uint16_t>(std::min<uint32_t>(kMaxBlockPayload, length - sent));
        std::array<uint8_t, kMaxBlockPayload> data{};
        if (!next(data.data(), count))
            return settle(failure(Kind::ContentUnreadable));
        const BlockFrame block = blockFrame(number, data.data(), count);
        // The result byte decides between done and resend, so it is tested below.
        // The input is cleared between blocks and before a block is sent
        // again, but not before the first block (see the start above).
        Exchange blockExchange = exchangeFor(Step::Block, block);
        blockExchange.clearBeforeRequest = false;
        blockExchange.clearOnSuccess = false;

        int resendRequests = 0;
        for (;;) {
            if (!settle(runExchange(context_, blockExchange, answer)))
                return false;
            if (answer.bytes[kResultOffset] != kResultResend)
                break;
            ++resendRequests_;
            if (++resendRequests > kMaxResendRequests) {
                ExchangeFailure outcome = failure(Kind::ResendLimit);
                outcome.resendRequests = resendRequests;
                return settle(outcome);
            }
            clock_.sleepMs(kResendPauseMs);
            link_.clearInput();
        }
        if (answer.bytes[kResultOffset] != kResultDone)
            return settle(judged(Kind::Refused, answer));

        ++number;
        sent += count;
        // After the last block the final confirmation may already be queued.
        if (sent < length)
            link_.clearInput();
        if (progress)
            progress(static_cast<int>(uint64_t{sent} * 100 / length));
    }

    Exchange confirmation = exchangeFor(Step::Final);
    confirmation.crcOnlyLogged = true;
    return settle(runExchange(context_, confirmation, answer));
}
