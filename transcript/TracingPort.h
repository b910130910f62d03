#pragma once
// The engine's port with its session transcript: the opening and closing as
// the scenario (and the release frames after it) does them, and every
// exchange through a TracingLink. Built over the transport (Qt), unlike the
// rest of the transcripts.
#include "transcript/TracingLink.h"
#include "transport/TerminalPort.h"

#include <memory>

class TracingPort : public ForwardingLink<TerminalPort> {
public:
    TracingPort(TranscriptWriter& writer, std::shared_ptr<TerminalPort> port);

    bool open(const PortChoice& port) override;
    bool close() override;
    OpenFailure lastOpenFailure() const override { return port_->lastOpenFailure(); }

    // How the transcript names a port: its label, or a device opened by its
    // path as a port list would label it ("Serial device - (pts/3)").
    static QString transcriptName(const PortChoice& port);

private:
    TranscriptWriter& writer_;
    const std::shared_ptr<TerminalPort> port_;
    TracingLink link_; // the target of every exchange
};
