#pragma once
// Faults that the simulated terminal can be told to commit, so that every
// failure path of the updater can be driven from the command line.
#include "protocol/Steps.h"

#include <optional>
#include <string>
#include <vector>

enum class FaultKind {
    Silent,  // no answer at all
    BadCrc,  // the answer's CRC damaged
    BadEcho, // byte 0 of the answer changed, CRC made to match
    Short,   // only the first half of the answer
    Split,   // the answer in two halves with a pause between
    Garbage, // junk bytes before the answer
    Resend,  // 04 01 33 instead of accepting a block
    Refuse,  // the terminal's own negative answer
    Vanish,  // the terminal goes away: the simulator closes the line and ends
};

// When a fault fires. `index` is the block number for Step::Block and the
// 1-based occurrence of the stage (counted over the simulator's life) for
// every other stage.
struct Fault {
    Step stage = Step::Opening;
    FaultKind kind = FaultKind::Silent;
    int at = -1;    // only this index; -1: any
    int after = -1; // only indexes above this one; -1: any
    int times = -1; // fires at most this often in all; -1: no limit
    int fired = 0;

    bool matches(int index) const
    {
        return (at < 0 || index == at) && (after < 0 || index > after) && (times < 0 || fired < times);
    }
};

// A count of at most nine decimal digits, nothing else: the simulator's numbers.
bool parseCount(const std::string& text, int& value);
const char* faultKindName(FaultKind kind);

// Reads STAGE:KIND[:ARG]. ARG is either a number, meaning the number of
// resend answers for `resend` and the block number or occurrence otherwise,
// or a comma-separated list of at=N, after=N and times=N.
bool parseFault(const std::string& text, Fault& fault, std::string& error);

// The faults in the order given; the first one that matches an exchange fires.
class FaultPlan {
public:
    void add(const Fault& fault) { faults_.push_back(fault); }
    std::optional<FaultKind> fire(Step stage, int index);
    bool empty() const { return faults_.empty(); }
    const std::vector<Fault>& faults() const { return faults_; }

private:
    std::vector<Fault> faults_;
};
