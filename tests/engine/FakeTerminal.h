#pragma once
// A scripted terminal behind the engine's port, answering at once (or not at all, as scripted) and recording
// what the engine did; and a Model wired to it, to a fake clock and to a configuration in memory.
#include "engine/Model.h"
#include "protocol/Crc16.h"
#include "tests/support/FakeClock.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SignedConfiguration.h"

#include <QDir>
#include <deque>
#include <map>
#include <numeric>

using Frame = std::vector<uint8_t>;

inline Frame answer(uint8_t code, uint8_t result, uint8_t one = 1)
{
    Frame frame(32, 0);
    frame[0] = code, frame[1] = one, frame[2] = result;
    crc16Append(frame.data(), 30);
    return frame;
}

class FakeTerminal : public TerminalPort {
public:
    // The script; by default a healthy terminal.
    std::string failAt; // this event gets no answer ("opening", "list", "advertise", ...), or fails ("open", "close")
    std::array<uint8_t, 3> hardwareId = {0x11, 0x22, 0x33}; // bytes 10 to 12 of the record
    std::map<std::string, int> failedDownloads;             // per file: downloads whose first block is refused
    int lateFinalConfirmations = 0;
    std::function<void(const std::string&)> onEvent;
    // What the engine did: "open LABEL", "close", "opening", "varlenne", "hardware", "list", "advertise TEXT",
    // "authorization", "download NAME", "activate", "release".
    std::vector<std::string> events;
    std::map<std::string, Frame> received; // completed downloads
    std::vector<uint16_t> blockNumbers;    // every data block sent
    int count(const std::string& event) const { return int(std::count(events.begin(), events.end(), event)); }

    using TerminalPort::open;
    bool open(const PortChoice& port) override { return note("open " + port.text.toStdString()); }
    bool close() override { return input_.clear(), note("close"); }
    OpenFailure lastOpenFailure() const override { return {OpenFailure::PermissionDenied, QStringLiteral("T"), {}}; }
    void clearInput() override { input_.clear(); }
    bool readFull(uint8_t* buffer, uint16_t& length, int) override
    {
        return input_.size() >= length ? read(buffer, length, 0) : (input_.clear(), length = 0, false);
    }
    bool read(uint8_t* buffer, uint16_t& length, int) override
    {
        if (input_.empty()) {
            input_.assign(late_.begin(), late_.end());
            late_.clear();
            return false;
        }
        length = static_cast<uint16_t>(std::min<size_t>(length, input_.size()));
        std::copy_n(input_.begin(), length, buffer);
        input_.erase(input_.begin(), input_.begin() + length);
        return true;
    }

    bool write(const uint8_t* data, uint16_t length) override
    {
        // The slash frames the terminal knows, byte for byte, with their answers.
        static const std::map<Frame, std::pair<std::string, Frame>> kSlash = {
            {{0x2F, 0xC0, 0x04, 0x00, 0x14, 0x00, 0xC8, 0xA4, 0xFC}, {"opening", {0x2F, 0xC0, 0x01, 0x00, 0x12}}},
            {{0x2F, 0x40, 0x03, 0x05, 0x00, 0xFF, 0xC3, 0x6A}, {"varlenne", {0x2F, 0x40, 0x02, 'O', 'K', 0x5A, 0x5B}}}};
        static const char* const kCommands[] = {"?",        "list",     "advertise", "authorization",
                                                "download", "activate", "release",   "hardware"};
        const Frame frame(data, data + length);
        const auto slash = kSlash.find(frame);
        const uint8_t code = length == 32 && data[0] <= 7 ? data[0] : 0;
        if (length == 128)
            return answerBlock(frame), true;
        std::string event = slash != kSlash.end() ? slash->second.first : kCommands[code];
        if (code == 2) {
            // The length field: six digits, or more digits closed by ';'; then the name.
            const std::string text(frame.begin() + 2, frame.begin() + 2 + frame[1]);
            const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
            const size_t field = digits < text.size() && text[digits] == ';' ? digits + 1 : 6;
            length_ = static_cast<uint32_t>(std::stoul(text.substr(0, field)));
            name_ = text.substr(field);
            event += " " + text;
        }
        if (!note(code == 4 ? event + " " + name_ : event) || event == "?")
            return true;
        if (slash != kSlash.end()) {
            queue(slash->second.second);
        } else if (code == 7) {
            Frame record(128, 0xEE);
            record[0] = 7;
            std::copy(hardwareId.begin(), hardwareId.end(), record.begin() + 10);
            crc16Append(record.data(), 126);
            queue(record);
        } else {
            queue(code == 1 ? answer(1, 0, 0) : answer(code, code == 3 ? 0x01 : 0x55)); // byte 1 = 0 ends the list
        }
        if (code == 4) {
            content_.clear();
            downloadFails_ = failedDownloads[name_]-- > 0;
            answerBlock({});
        }
        return true;
    }

private:
    // Notes the event; false when the script says it fails.
    bool note(const std::string& event)
    {
        events.push_back(event);
        if (onEvent)
            onEvent(event);
        return failAt.empty() || (event != failAt && event.rfind(failAt + " ", 0) != 0);
    }
    void queue(const Frame& bytes) { input_.insert(input_.end(), bytes.begin(), bytes.end()); }
    void answerBlock(const Frame& frame)
    {
        if (!frame.empty()) {
            blockNumbers.push_back(static_cast<uint16_t>(frame[1] << 8 | frame[2]));
            if (downloadFails_)
                return queue(answer(4, 0x00)); // neither done nor "send again": the download stops
            content_.insert(content_.end(), frame.begin() + 4, frame.begin() + 4 + frame[3]);
            queue(answer(4, 0x55));
        }
        if (content_.size() < length_ || downloadFails_)
            return;
        received[name_] = content_;
        if (lateFinalConfirmations-- > 0)
            late_ = answer(4, 0x55);
        else
            queue(answer(4, 0x55));
    }

    std::deque<uint8_t> input_;
    Frame late_, content_; // late_: arrives once a read has found nothing
    std::string name_;     // of the file advertised last
    uint32_t length_ = 0;
    bool downloadFails_ = false;
};

inline QByteArray patternContent(int size)
{
    QByteArray content(size, '\0');
    std::iota(content.begin(), content.end(), 'a');
    return content;
}

// A Model on the fake terminal and clock, with an empty configuration that accepts the terminal's hardware.
class EngineTest : public ::testing::Test {
public:
    EngineTest()
    {
        // The engine does not own the terminal: an empty owner with the terminal as the pointer.
        auto port = [this](auto) { return std::shared_ptr<TerminalPort>(std::shared_ptr<void>(), &terminal); };
        model = std::make_unique<Model>(nullptr, ModelOptions{std::make_shared<StaticPortProvider>(QList<PortInfo>{}),
                                                              clock, dir.path() + "/", [] {}, port});
        config = model->configuration();
        config->terminal = config->terminal ? config->terminal : new Terminal(config);
        // Any entry will do: the first one does not match.
        for (const std::array<uint8_t, 3>& id : {std::array<uint8_t, 3>{0x11, 0x22, 0x35}, terminal.hardwareId}) {
            config->hterminalList.append(new HTerminal(config));
            std::copy(id.begin(), id.end(), config->hterminalList.back()->data + 8); // bytes 8 to 10
        }
        QObject::connect(model.get(), &Model::setTotalProgression,
                         [this](QString s, int v) { totals.emplace_back(s, v), values.push_back(v); });
        QObject::connect(model.get(), &Model::setModuleProgression,
                         [this](QString s, int v) { modules.emplace_back(s, v); });
        QObject::connect(model.get(), &Model::installationFinished,
                         [this](const InstallationResult& result) { resultOf.push_back(result); });
    }
    Batch* addBatch() { return config->batchList.append(new Batch(config)), config->batchList.back(); }
    // A package of `size` bytes at `name` (which may hold folders) in the temporary folder; size < 0: no file.
    Application* addFile(Batch* batch, const QString& name, int size)
    {
        const QString path = QDir(dir.path()).absoluteFilePath(name);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        EXPECT_TRUE(size < 0 || (file.open(QIODevice::WriteOnly) && file.write(packed(patternContent(size))) > 0));
        return batch->applications.append(new Application(path, batch)), batch->applications.back();
    }
    bool install() { return model->install(QStringLiteral("T - (ttyT0)"), title, text); }

    QTemporaryDir dir;
    FakeTerminal terminal;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::unique_ptr<Model> model;
    Configuration* config = nullptr;
    std::vector<std::pair<QString, int>> totals, modules;
    std::vector<int> values;                  // of the totals
    std::vector<InstallationResult> resultOf; // as installationFinished() sent it
    LogCapture log;
    QString title, text;
};
