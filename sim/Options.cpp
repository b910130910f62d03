#include "sim/Options.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>

namespace {

const char* const kUsage = R"(Usage: mirdal-sim [OPTION]...
Plays the card terminal that Mirdal updates. It creates a pseudo-terminal and
prints the device the PC must open as the first line on standard output (or
serves the device given with --device), answers every frame of the dialogue,
and writes one line per frame received to standard error.

Line:
  --device PATH           serve this serial device instead of a new pseudo-terminal
  --baud RATE             the line's speed (default 9600): the terminal answers once
                          the request has crossed the line, and each byte of the
                          answer reaches the PC at its own time, 10 bits per byte,
                          as a plain UART delivers it. 0: answers leave at once
  --delivery HOW          how the PC's side hands the bytes on: byte (default, a
                          plain UART), fifo[:N] (pieces of N bytes, default 14, as a
                          UART's FIFO) when its last byte has crossed the line, or usb
                          (packets of up to 64 bytes 1 ms apart, as a USB device)
  --frame-timeout MS      drop an incomplete frame after MS of silence (default 1000)
  --sessions N            end after N sessions (release requests), once the PC has
                          read the last answers

Terminal:
  --hardware HEX6         bytes 10..12 of the hardware record (default 4D3130,
                          "M10", which the sample configuration accepts)
  --apps NAME,NAME...     installed applications (default VARLENNE,PAYMENT; "" for
                          none); a name over 28 bytes is sent cut, with its full length
  --store DIR             store each received file in DIR under its advertised name
  --verify DIR            compare each received file with the plain content of the
                          encrypted container of the same name (letter case ignored)
                          in DIR; a mismatch is reported on standard error
  --quiet                 no trace of the frames received (problems are still shown)

Replay:
  --replay FILE           play the terminal's side of a session transcript written
                          by 'mirdal-cli install --trace FILE': each frame the PC
                          sends must be the next one recorded (data blocks: same
                          number, count and CRC) and gets the answer recorded then.
                          A frame that differs, comes incomplete or comes after the
                          end is reported on standard error and ends the program.
                          Only --device, --frame-timeout, --quiet and --replay-scale
                          go with --replay.
  --replay-scale F        wait F times the recorded delay before each answer
                          (default 0: answer at once; 1: as recorded)

Faults:
  --fault STAGE:KIND[:ARG]
      Repeatable; the first fault given that matches an exchange fires.
      STAGE  opening, varlenne, hardware, list, advertise, authorize,
             download-start, block, final, activate, release (the steps'
             names in transcripts; open and start are taken too)
      KIND   silent    no answer; the terminal ignores the frame
             bad-crc   the answer's CRC is damaged
             bad-echo  byte 0 of the answer is changed, its CRC made to match
             short     only the first half of the answer is sent
             split     the answer goes in two pieces, --split-pause MS apart
                       (default 100), cut before byte --split-offset N
                       (default: its middle)
             garbage   three junk bytes go before the answer
             resend    04 01 33 instead of accepting the block (block only)
             refuse    the terminal's negative answer: open NAK slash frame,
                       varlenne 01 81, hardware 07 01 00, advertise 02 01 00,
                       authorize 03 01 00, start/block/final 04 01 00 (a refused
                       final confirmation drops the file), activate 05 01 33,
                       release 06 01 00; the list has none
             vanish    the simulator closes the line and ends at that frame
      ARG    N: for resend, how many resend answers in all; otherwise the block
             number (block) or the Nth occurrence of the stage, counted from 1
             over the simulator's life (every other stage)
             at=N,after=N,times=N: only index N, only indexes above N, at most
             N times in all (any combination)
  --ignore-open N         no answer to the first N opening frames
  --refuse-varlenne       the terminal has no Varlenne application
  --resend-block K[:T]    ask for block K again, T times in all (default: always)
  --fail-download M       refuse the final confirmation of the first M downloads
  --bad-final-crc         every final confirmation carries a wrong CRC
  --silent-after-block K  no answer to any block numbered above K
  --refuse-authorization  refuse every authorization
  --refuse-activation     answer 05 01 33 to every activation request

  --help                  show this help

Exit status: 0 after SIGTERM or SIGINT, after the sessions asked for, or at a
vanish fault; 1 when a received file did not match or could not be stored;
2 on a usage error; 3 when the line could not be opened or failed.
With --replay: 0 once the whole transcript was played; 1 on a mismatch or when
stopped before its end; 2 on a usage error or an unreadable transcript; 3 when
the line could not be opened or failed.
)";

bool parseHardware(const std::string& text, std::array<uint8_t, 3>& bytes)
{
    if (text.size() != 6 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(std::strtoul(text.substr(2 * i, 2).c_str(), nullptr, 16));
    return true;
}

bool parseNames(const std::string& text, std::vector<std::string>& names)
{
    names.clear();
    if (text.empty())
        return true;
    size_t begin = 0;
    for (;;) {
        const size_t end = text.find(',', begin);
        names.push_back(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (names.back().empty() || names.back().size() > 255)
            return false;
        if (end == std::string::npos)
            return true;
        begin = end + 1;
    }
}

Fault makeFault(Step stage, FaultKind kind, int at = -1, int after = -1, int times = -1)
{
    Fault fault;
    fault.stage = stage;
    fault.kind = kind;
    fault.at = at;
    fault.after = after;
    fault.times = times;
    return fault;
}

// "K" or "K:T".
bool parseResendBlock(const std::string& text, Fault& fault)
{
    const size_t colon = text.find(':');
    int block = 0;
    int times = -1;
    if (!parseCount(text.substr(0, colon), block))
        return false;
    if (colon != std::string::npos && !parseCount(text.substr(colon + 1), times))
        return false;
    fault = makeFault(Step::Block, FaultKind::Resend, block, -1, times);
    return true;
}

using Handler = std::function<bool(const std::string& value, SimOptions& options, std::string& error)>;

struct OptionSpec {
    bool takesValue;
    Handler handle;
    bool withReplay = false; // means something when a transcript is played
};

Handler numberInto(int ServeOptions::*field)
{
    return [field](const std::string& value, SimOptions& options, std::string&) {
        return parseCount(value, options.serve.*field);
    };
}

Handler addsFault(Fault fault)
{
    return [fault](const std::string&, SimOptions& options, std::string&) {
        options.terminal.faults.add(fault);
        return true;
    };
}

// A convenience flag with a number: the fault built from it.
Handler addsFaultWith(std::function<Fault(int)> make)
{
    return [make](const std::string& value, SimOptions& options, std::string&) {
        int number = 0;
        if (!parseCount(value, number))
            return false;
        options.terminal.faults.add(make(number));
        return true;
    };
}

// byte, fifo, fifo:N or usb: how the pieces reach the PC.
bool parseDelivery(const std::string& value, SimOptions& options, std::string&)
{
    constexpr size_t kFifoTrigger = 14; // a 16550's receive trigger level
    int size = 0;
    options.serve.usbPackets = value == "usb";
    if (value == "byte" || value == "usb")
        options.serve.chunk = 1;
    else if (value == "fifo")
        options.serve.chunk = kFifoTrigger;
    else if (value.rfind("fifo:", 0) == 0 && parseCount(value.substr(5), size) && size > 0)
        options.serve.chunk = static_cast<size_t>(size);
    else
        return false;
    return true;
}

const std::map<std::string, OptionSpec>& optionTable()
{
    static const std::map<std::string, OptionSpec> table = {
        {"--device",
         {true,
          [](const std::string& v, SimOptions& o, std::string&) {
              o.device = v;
              return !v.empty();
          },
          true}},
        {"--baud",
         {true,
          [](const std::string& v, SimOptions& o, std::string&) {
              int baud = 0;
              if (!parseCount(v, baud))
                  return false;
              o.serve.baud = static_cast<unsigned>(baud);
              return true;
          }}},
        {"--frame-timeout",
         {true,
          [](const std::string& v, SimOptions& o, std::string&) {
              const bool ok = parseCount(v, o.serve.frameTimeoutMs);
              o.replay.frameTimeoutMs = o.serve.frameTimeoutMs;
              return ok;
          },
          true}},
        {"--sessions", {true, numberInto(&ServeOptions::sessions)}},
        {"--hardware",
         {true,
          [](const std::string& v, SimOptions& o, std::string&) { return parseHardware(v, o.terminal.hardware); }}},
        {"--apps",
         {true,
          [](const std::string& v, SimOptions& o, std::string&) { return parseNames(v, o.terminal.applications); }}},
        {"--store",
         {true,
          [](const std::string& v, SimOptions& o, std::string&) {
              o.terminal.storeDirectory = v;
              return !v.empty();
          }}},
        {"--verify",
         {true,
          [](const std::string& v, SimOptions& o, std::string&) {
              o.terminal.verifyDirectory = v;
              return !v.empty();
          }}},
        {"--delivery", {true, parseDelivery}},
        {"--split-offset",
         {true,
          [](const std::string& v, SimOptions& o, std::string&) {
              int offset = 0;
              const bool ok = parseCount(v, offset) && offset > 0;
              o.terminal.splitOffset = static_cast<size_t>(offset);
              return ok;
          }}},
        {"--split-pause",
         {true,
          [](const std::string& v, SimOptions& o, std::string&) {
              int ms = 0;
              const bool ok = parseCount(v, ms);
              o.terminal.splitPauseMs = static_cast<uint32_t>(ms);
              return ok;
          }}},
        {"--quiet",
         {false,
          [](const std::string&, SimOptions& o, std::string&) {
              o.quiet = true;
              return true;
          },
          true}},
        {"--replay",
         {true,
          [](const std::string& v, SimOptions& o, std::string&) {
              o.replayFile = v;
              return !v.empty();
          },
          true}},
        {"--replay-scale",
         {true,
          [](const std::string& v, SimOptions& o, std::string&) {
              char* end = nullptr;
              o.replay.timeScale = std::strtod(v.c_str(), &end);
              // Written so that NaN fails too.
              return !v.empty() && *end == '\0' && o.replay.timeScale >= 0.0 && o.replay.timeScale <= 1000.0;
          },
          true}},
        {"--fault",
         {true,
          [](const std::string& v, SimOptions& o, std::string& error) {
              Fault fault;
              if (!parseFault(v, fault, error))
                  return false;
              o.terminal.faults.add(fault);
              return true;
          }}},
        {"--ignore-open",
         {true, addsFaultWith([](int n) { return makeFault(Step::Opening, FaultKind::Silent, -1, -1, n); })}},
        {"--refuse-varlenne", {false, addsFault(makeFault(Step::Varlenne, FaultKind::Refuse))}},
        {"--resend-block",
         {true,
          [](const std::string& v, SimOptions& o, std::string&) {
              Fault fault;
              if (!parseResendBlock(v, fault))
                  return false;
              o.terminal.faults.add(fault);
              return true;
          }}},
        {"--fail-download",
         {true, addsFaultWith([](int m) { return makeFault(Step::Final, FaultKind::Refuse, -1, -1, m); })}},
        {"--bad-final-crc", {false, addsFault(makeFault(Step::Final, FaultKind::BadCrc))}},
        {"--silent-after-block",
         {true, addsFaultWith([](int k) { return makeFault(Step::Block, FaultKind::Silent, -1, k); })}},
        {"--refuse-authorization", {false, addsFault(makeFault(Step::Authorize, FaultKind::Refuse))}},
        {"--refuse-activation", {false, addsFault(makeFault(Step::Activate, FaultKind::Refuse))}},
    };
    return table;
}

} // namespace

std::string usageText()
{
    return kUsage;
}

// With a transcript to play, the options of the simulated terminal would be
// silently ignored: they are refused instead.
bool replayFits(const SimOptions& options, const std::vector<std::string>& given, std::string& error)
{
    const bool scaleGiven = std::find(given.begin(), given.end(), "--replay-scale") != given.end();
    if (options.replayFile.empty()) {
        if (scaleGiven)
            error = "--replay-scale needs --replay";
        return !scaleGiven;
    }
    for (const std::string& name : given) {
        if (!optionTable().at(name).withReplay) {
            error = name + " does not go with --replay";
            return false;
        }
    }
    return true;
}

Parsed parseArguments(const std::vector<std::string>& arguments, SimOptions& options, std::string& error)
{
    const auto& table = optionTable();
    std::vector<std::string> given;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h")
            return Parsed::Help;
        const size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const auto option = table.find(name);
        if (option == table.end()) {
            error = "unknown option " + name;
            return Parsed::Error;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (option->second.takesValue) {
            if (++i == arguments.size()) {
                error = name + " needs a value";
                return Parsed::Error;
            }
            value = arguments[i];
        }
        if (equals != std::string::npos && !option->second.takesValue) {
            error = name + " takes no value";
            return Parsed::Error;
        }
        std::string detail;
        if (!option->second.handle(value, options, detail)) {
            error = "bad value \"" + value + "\" for " + name + (detail.empty() ? "" : ": " + detail);
            return Parsed::Error;
        }
        given.push_back(name);
    }
    return replayFits(options, given, error) ? Parsed::Run : Parsed::Error;
}
