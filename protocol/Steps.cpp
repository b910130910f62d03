#include "protocol/Steps.h"

#include <algorithm>
#include <cstring>

const StepRow* stepNamed(const std::string& name)
{
    for (const StepRow& r : kSteps) {
        if (name == r.name)
            return &r;
    }
    return nullptr;
}

const StepRow* stepOfRequest(const uint8_t* frame, size_t length)
{
    if (length == 0)
        return nullptr;
    for (const StepRow& r : kSteps) {
        if (r.slash && length == r.slashSize && std::memcmp(frame, r.slash, length) == 0)
            return &r;
        // The first row of a code stands for its command frame (code 4: the download start).
        if (!r.slash && r.code == frame[0] && length == requestSize(r))
            return &r;
    }
    return nullptr;
}
