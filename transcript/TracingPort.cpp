#include "transcript/TracingPort.h"

TracingPort::TracingPort(TranscriptWriter& writer, std::shared_ptr<TerminalPort> port)
    : ForwardingLink(link_), writer_(writer), port_(std::move(port)), link_(writer, port_.get())
{}

bool TracingPort::open(const PortChoice& port)
{
    const bool opened = port_->open(port);
    writer_.portOpened(transcriptName(port).toStdString(), opened);
    return opened;
}

bool TracingPort::close()
{
    link_.flush();
    const bool closed = port_->close();
    writer_.portClosed(closed);
    return closed;
}

QString TracingPort::transcriptName(const PortChoice& port)
{
    if (!port.isDevice)
        return port.text;
    const QString name = port.text.startsWith(QLatin1String("/dev/")) ? port.text.mid(5) : port.text;
    return QLatin1String("Serial device - (") + name + QLatin1Char(')');
}
