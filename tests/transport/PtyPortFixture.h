#pragma once
// A SerialPort whose only port is a pseudo-terminal listed as the maker's.
#include "tests/support/Pty.h"
#include "transport/SerialPort.h"

#include <QByteArray>
#include <gtest/gtest.h>

class PtyPortTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.isValid()) << "no pseudo-terminal available"; }

    std::shared_ptr<PortProvider> ptyProvider() const
    {
        return std::make_shared<StaticPortProvider>(QList<PortInfo>{pty.asPort()});
    }

    bool write(const QByteArray& bytes)
    {
        return port.write(reinterpret_cast<const uint8_t*>(bytes.constData()), uint16_t(bytes.size()));
    }

    // What read() delivered, or a null array when it failed; `asked` is the
    // length handed in, `length` what it was left at.
    struct ReadResult {
        bool ok;
        uint16_t length;
        QByteArray bytes;
    };
    ReadResult read(uint16_t asked, int timeoutMs)
    {
        QByteArray buffer(asked, '\0');
        uint16_t length = asked;
        const bool ok = port.read(reinterpret_cast<uint8_t*>(buffer.data()), length, timeoutMs);
        return {ok, length, ok ? buffer.left(length) : QByteArray()};
    }
    // A successful read of exactly these bytes.
    static ::testing::AssertionResult delivered(const ReadResult& got, const QByteArray& expected)
    {
        if (got.ok && got.length == expected.size() && got.bytes == expected)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "ok " << got.ok << ", length " << got.length << ", bytes \"" << got.bytes.toStdString()
               << "\" instead of \"" << expected.toStdString() << "\"";
    }
    ReadResult readFull(uint16_t asked)
    {
        QByteArray buffer(asked, '\0');
        uint16_t length = asked;
        const bool ok = port.readFull(reinterpret_cast<uint8_t*>(buffer.data()), length);
        return {ok, length, ok ? buffer.left(length) : QByteArray()};
    }

    Pty pty;
    SerialPort port{nullptr, ptyProvider()};
};
