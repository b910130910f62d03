#include "transcript/Transcript.h"

#include "transcript/Json.h"
#include "protocol/Crc16.h"
#include "protocol/Frames.h"
#include "protocol/Steps.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

const char* const kBlockKind = row(Step::Block).name;

namespace {

constexpr int kTimeDecimals = 3; // milliseconds

const char* directionName(Direction direction)
{
    switch (direction) {
    case Direction::Pc: return "pc";
    case Direction::Terminal: return "terminal";
    case Direction::Event: return "event";
    }
    return "event";
}

// --- Reading one line ---------------------------------------------------------

class Fields {
public:
    explicit Fields(const JsonObject& object) : object_(object) {}

    bool has(const char* key) const { return object_.count(key) != 0; }

    bool text(const char* key, std::string& out, std::string& error) const
    {
        const auto found = object_.find(key);
        if (found == object_.end() || found->second.kind != JsonValue::String)
            return missing(key, "a string", error);
        out = found->second.text;
        return true;
    }

    bool number(const char* key, double& out, std::string& error) const
    {
        const auto found = object_.find(key);
        if (found == object_.end() || found->second.kind != JsonValue::Number)
            return missing(key, "a number", error);
        out = std::strtod(found->second.text.c_str(), nullptr);
        return true;
    }

    bool integer(const char* key, long min, long max, long& out, std::string& error) const
    {
        double value = 0;
        if (!number(key, value, error))
            return false;
        // Judged as a double first: a value beyond long (1e19) has no defined conversion.
        if (!(value >= static_cast<double>(min) && value <= static_cast<double>(max)) ||
            static_cast<double>(static_cast<long>(value)) != value) {
            error = "\"" + std::string(key) + "\" out of range";
            return false;
        }
        out = static_cast<long>(value);
        return true;
    }

    bool flag(const char* key, bool& out, std::string& error) const
    {
        const auto found = object_.find(key);
        if (found == object_.end() || found->second.kind != JsonValue::Boolean)
            return missing(key, "true or false", error);
        out = found->second.text == "true";
        return true;
    }

    bool hex(const char* key, Bytes& out, std::string& error) const
    {
        std::string text;
        if (!this->text(key, text, error))
            return false;
        if (!parseHexBytes(text, out)) {
            error = "\"" + std::string(key) + "\" is not hexadecimal bytes";
            return false;
        }
        return true;
    }

private:
    static bool missing(const char* key, const char* what, std::string& error)
    {
        error = "\"" + std::string(key) + "\" must be " + what;
        return false;
    }

    const JsonObject& object_;
};

bool readBlock(const Fields& fields, TranscriptEntry& entry, std::string& error)
{
    long number = 0;
    long count = 0;
    Bytes crc;
    if (!fields.integer("block", 0, 0xFFFF, number, error) ||
        !fields.integer("count", 0, kMaxBlockPayload, count, error) || !fields.hex("crc", crc, error))
        return false;
    if (crc.size() != entry.crc.size()) {
        error = "\"crc\" must be two bytes";
        return false;
    }
    entry.length = kBlockFrameSize;
    entry.block = static_cast<uint16_t>(number);
    entry.count = static_cast<uint8_t>(count);
    std::copy(crc.begin(), crc.end(), entry.crc.begin());
    return true;
}

// A frame written by its length and the CRC-16 of its bytes, without them.
bool readLengthAndCrc(const Fields& fields, TranscriptEntry& entry, bool crcRequired, std::string& error)
{
    long length = 0;
    if (!fields.integer("length", 1, 0xFFFF, length, error))
        return false;
    entry.length = static_cast<size_t>(length);
    if (!crcRequired && !fields.has("crc"))
        return true;
    Bytes crc;
    if (!fields.hex("crc", crc, error))
        return false;
    if (crc.size() != entry.crc.size()) {
        error = "\"crc\" must be two bytes";
        return false;
    }
    std::copy(crc.begin(), crc.end(), entry.crc.begin());
    return true;
}

bool readPc(const Fields& fields, TranscriptEntry& entry, std::string& error)
{
    if (!fields.text("kind", entry.kind, error))
        return false;
    if (fields.has("sent") && !fields.flag("sent", entry.sent, error))
        return false;
    if (entry.kind == kBlockKind)
        return readBlock(fields, entry, error);
    if (fields.has("hex")) {
        if (!fields.hex("hex", entry.bytes, error))
            return false;
        entry.length = entry.bytes.size();
        return true;
    }
    return readLengthAndCrc(fields, entry, false, error);
}

bool readTerminal(const Fields& fields, TranscriptEntry& entry, std::string& error)
{
    if (!fields.text("kind", entry.kind, error) || (fields.has("to") && !fields.text("to", entry.answering, error)))
        return false;
    if (fields.has("length"))
        return readLengthAndCrc(fields, entry, true, error);
    if (!fields.hex("hex", entry.bytes, error))
        return false;
    entry.length = entry.bytes.size();
    return true;
}

bool readEvent(const Fields& fields, TranscriptEntry& entry, std::string& error)
{
    if (!fields.text("event", entry.event, error))
        return false;
    if (fields.has("ok") && !fields.flag("ok", entry.ok, error))
        return false;
    if (fields.has("port") && !fields.text("port", entry.port, error))
        return false;
    if (fields.has("to") && !fields.text("to", entry.answering, error))
        return false;
    long timeout = -1;
    if (fields.has("timeout_ms") && !fields.integer("timeout_ms", 0, 3600000, timeout, error))
        return false;
    entry.timeoutMs = static_cast<int>(timeout);
    if (entry.event == "result")
        return fields.flag("ok", entry.ok, error) && fields.text("title", entry.title, error) &&
               fields.text("text", entry.text, error);
    if (entry.event == "cause")
        return fields.text("stage", entry.stage, error) && fields.text("text", entry.text, error);
    return true;
}

bool readEntry(const std::string& line, TranscriptEntry& entry, std::string& error)
{
    JsonObject object;
    if (!parseJsonObject(line, object, error))
        return false;
    const Fields fields(object);
    std::string direction;
    if (!fields.number("t", entry.t, error) || !fields.text("dir", direction, error))
        return false;
    if (direction == "pc") {
        entry.direction = Direction::Pc;
        return readPc(fields, entry, error);
    }
    if (direction == "terminal") {
        entry.direction = Direction::Terminal;
        return readTerminal(fields, entry, error);
    }
    if (direction == "event") {
        entry.direction = Direction::Event;
        return readEvent(fields, entry, error);
    }
    error = "\"dir\" must be pc, terminal or event";
    return false;
}

} // namespace

// --- Frames and bytes ---------------------------------------------------------

std::string frameKind(const uint8_t* frame, size_t length)
{
    if (const StepRow* step = stepOfRequest(frame, length))
        return step->name;
    if (length > 0 && frame[0] == kSlashStart)
        return "slash";
    return "unknown";
}

namespace {

bool crcRight(const uint8_t* frame, size_t crcOffset)
{
    const uint16_t crc = crc16(frame, crcOffset);
    return frame[crcOffset] == (crc & 0xFF) && frame[crcOffset + 1] == (crc >> 8);
}

// The size of the whole frame of a known shape that starts `bytes`, or 0.
size_t knownFrameAt(const uint8_t* bytes, size_t length)
{
    if (length >= kSlashOverhead && bytes[0] == kSlashStart) {
        const size_t size = kSlashOverhead + bytes[kSlashCountOffset];
        if (size <= length && crcRight(bytes, size - kCrcSize))
            return size;
    }
    if (length >= kCommandFrameSize && crcRight(bytes, kCommandCrcOffset))
        return kCommandFrameSize;
    return 0;
}

} // namespace

bool knownAnswerShape(const std::string& answering, const uint8_t* bytes, size_t length)
{
    if (answering == row(Step::Hardware).name && length == kBlockFrameSize && crcRight(bytes, kBlockCrcOffset))
        return true;
    if (length == 0)
        return false;
    for (size_t at = 0; at < length;) {
        const size_t size = knownFrameAt(bytes + at, length - at);
        if (size == 0)
            return false;
        at += size;
    }
    return true;
}

std::string hexBytes(const uint8_t* bytes, size_t length)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        if (i > 0)
            text += ' ';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

bool parseHexBytes(const std::string& text, Bytes& bytes)
{
    bytes.clear();
    int high = -1;
    for (const char c : text) {
        if (c == ' ')
            continue;
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0)
            return false;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    return high < 0;
}

// --- Reading ------------------------------------------------------------------

bool readTranscript(std::istream& in, std::vector<TranscriptEntry>& entries, std::string& error)
{
    entries.clear();
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        TranscriptEntry entry;
        entry.line = number;
        std::string problem;
        if (!readEntry(line, entry, problem)) {
            error = "line " + std::to_string(number) + ": " + problem;
            return false;
        }
        entries.push_back(std::move(entry));
    }
    return true;
}

bool readTranscriptFile(const std::string& path, std::vector<TranscriptEntry>& entries, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    if (!readTranscript(in, entries, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

// --- Writing ------------------------------------------------------------------

TranscriptWriter::~TranscriptWriter()
{
    close();
}

bool TranscriptWriter::open(const std::string& path)
{
    // Binary: the same bytes on every system, lines ended by a line feed alone.
    file_ = std::fopen(path.c_str(), "wb");
    return file_ != nullptr;
}

bool TranscriptWriter::close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_) {
        errno = 0;
        if (std::fclose(file_) != 0 && error_ == 0)
            error_ = errno != 0 ? errno : EIO;
        file_ = nullptr;
    }
    return error_ == 0;
}

bool TranscriptWriter::complete() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return error_ == 0;
}

std::string TranscriptWriter::problem() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return error_ == 0 ? std::string() : std::strerror(error_);
}

double TranscriptWriter::elapsed() const
{
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

void TranscriptWriter::put(const std::string& line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_ || error_ != 0)
        return;
    errno = 0;
    if (std::fputs(line.c_str(), file_) < 0 || std::fputc('\n', file_) == EOF || std::fflush(file_) != 0)
        error_ = errno != 0 ? errno : EIO;
}

namespace {

JsonLine lineAt(double t, Direction direction)
{
    JsonLine line;
    line.decimal("t", t, kTimeDecimals).text("dir", directionName(direction));
    return line;
}

// Bytes that are not written: how many, and their CRC-16 (low byte first),
// which tells two such frames apart without giving any of their bytes.
JsonLine& lengthAndCrc(JsonLine& line, const uint8_t* bytes, size_t length)
{
    const uint16_t crc = crc16(bytes, length);
    const uint8_t crcBytes[kCrcSize] = {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
    return line.number("length", static_cast<int64_t>(length)).text("crc", hexBytes(crcBytes, kCrcSize));
}

} // namespace

void TranscriptWriter::pcFrame(double t, const uint8_t* frame, size_t length, bool sent)
{
    const std::string kind = frameKind(frame, length);
    JsonLine line = lineAt(t, Direction::Pc);
    line.text("kind", kind);
    if (kind == kBlockKind) {
        // The payload is package content: only what identifies the block.
        line.number("block", (frame[kBlockNumberOffset] << 8) | frame[kBlockNumberOffset + 1])
            .number("count", frame[kBlockCountOffset])
            .text("crc", hexBytes(frame + kBlockCrcOffset, kCrcSize));
    } else if (kind == "unknown" && length > 0) {
        // Not a frame of the protocol: whatever it holds, its bytes are not written.
        lengthAndCrc(line, frame, length);
    } else {
        line.text("hex", hexBytes(frame, length));
    }
    if (!sent)
        line.flag("sent", false);
    put(line.str());
}

void TranscriptWriter::terminalBytes(const std::string& answering, const uint8_t* bytes, size_t length,
                                     bool carriesPackage, double at)
{
    JsonLine line = lineAt(at >= 0 ? at : elapsed(), Direction::Terminal);
    line.text("kind", "answer");
    if (!answering.empty())
        line.text("to", answering);
    // A terminal may send anything, package bytes included (an echo of a
    // block): only an answer the protocol knows is written as it came.
    if (carriesPackage || !knownAnswerShape(answering, bytes, length))
        lengthAndCrc(line, bytes, length);
    else
        line.text("hex", hexBytes(bytes, length));
    put(line.str());
}

void TranscriptWriter::noAnswer(const std::string& answering, int timeoutMs)
{
    JsonLine line = lineAt(elapsed(), Direction::Event);
    line.text("event", "no-answer");
    if (!answering.empty())
        line.text("to", answering);
    if (timeoutMs >= 0)
        line.number("timeout_ms", timeoutMs);
    put(line.str());
}

void TranscriptWriter::portOpened(const std::string& port, bool ok)
{
    put(lineAt(elapsed(), Direction::Event).text("event", "open").text("port", port).flag("ok", ok).str());
}

void TranscriptWriter::portClosed(bool ok)
{
    put(lineAt(elapsed(), Direction::Event).text("event", "close").flag("ok", ok).str());
}

void TranscriptWriter::cause(const std::string& stage, const std::string& text)
{
    put(lineAt(elapsed(), Direction::Event).text("event", "cause").text("stage", stage).text("text", text).str());
}

void TranscriptWriter::result(bool ok, const std::string& title, const std::string& text)
{
    put(lineAt(elapsed(), Direction::Event)
            .text("event", "result")
            .flag("ok", ok)
            .text("title", title)
            .text("text", text)
            .str());
}
