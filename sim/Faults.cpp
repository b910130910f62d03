#include "sim/Faults.h"

#include <array>
#include <cstdlib>
#include <utility>

namespace {

constexpr std::array<std::pair<FaultKind, const char*>, 9> kKinds = {{
    {FaultKind::Silent, "silent"},
    {FaultKind::BadCrc, "bad-crc"},
    {FaultKind::BadEcho, "bad-echo"},
    {FaultKind::Short, "short"},
    {FaultKind::Split, "split"},
    {FaultKind::Garbage, "garbage"},
    {FaultKind::Resend, "resend"},
    {FaultKind::Refuse, "refuse"},
    {FaultKind::Vanish, "vanish"},
}};

template <typename Table, typename Value>
bool lookUp(const Table& table, const std::string& name, Value& value)
{
    for (const auto& [entry, text] : table) {
        if (name == text) {
            value = entry;
            return true;
        }
    }
    return false;
}

bool parseSelectors(const std::string& text, Fault& fault, std::string& error)
{
    size_t begin = 0;
    while (begin <= text.size()) {
        const size_t end = std::min(text.find(',', begin), text.size());
        const std::string item = text.substr(begin, end - begin);
        const size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        int* target = key == "at" ? &fault.at : key == "after" ? &fault.after : key == "times" ? &fault.times : nullptr;
        if (equals == std::string::npos || !target || !parseCount(item.substr(equals + 1), *target)) {
            error = "bad selector \"" + item + "\" (expected at=N, after=N or times=N)";
            return false;
        }
        begin = end + 1;
    }
    return true;
}

// The step a fault names: its name in the protocol's steps, or one of the
// short names the simulator has always taken ("open", "start"). The release
// frames' answers are not judged: they take no fault.
bool faultStep(const std::string& name, Step& step)
{
    const StepRow* named = stepNamed(name == "open" ? "opening" : name == "start" ? "download-start" : name);
    if (!named || named->step == Step::FirstRelease || named->step == Step::SecondRelease)
        return false;
    step = named->step;
    return true;
}

} // namespace

const char* faultKindName(FaultKind kind)
{
    for (const auto& [entry, text] : kKinds)
        if (entry == kind)
            return text;
    return "?";
}

bool parseFault(const std::string& text, Fault& fault, std::string& error)
{
    fault = Fault{};
    const size_t first = text.find(':');
    if (first == std::string::npos) {
        error = "expected STAGE:KIND[:ARG] in \"" + text + "\"";
        return false;
    }
    const size_t second = text.find(':', first + 1);
    const std::string stage = text.substr(0, first);
    const std::string kind =
        text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    if (!faultStep(stage, fault.stage)) {
        error = "unknown stage \"" + stage + "\"";
        return false;
    }
    if (!lookUp(kKinds, kind, fault.kind)) {
        error = "unknown fault \"" + kind + "\"";
        return false;
    }
    if (fault.kind == FaultKind::Resend && fault.stage != Step::Block) {
        error = "resend applies to blocks only";
        return false;
    }
    if (fault.kind == FaultKind::Refuse && fault.stage == Step::List) {
        error = "the application list has no negative answer";
        return false;
    }
    if (second == std::string::npos)
        return true;
    const std::string argument = text.substr(second + 1);
    int number = 0;
    if (parseCount(argument, number)) {
        (fault.kind == FaultKind::Resend ? fault.times : fault.at) = number;
        return true;
    }
    return parseSelectors(argument, fault, error);
}

std::optional<FaultKind> FaultPlan::fire(Step stage, int index)
{
    for (auto& fault : faults_) {
        if (fault.stage == stage && fault.matches(index)) {
            ++fault.fired;
            return fault.kind;
        }
    }
    return std::nullopt;
}

bool parseCount(const std::string& text, int& value)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::atoi(text.c_str());
    return true;
}
