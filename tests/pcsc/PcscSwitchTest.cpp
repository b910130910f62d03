// The reader switch against fake PC/SC functions: one table of readers and, for each case, every call
// and every log line in their order. Codes are pcsc-lite's (0x42000000 + function).
#include "engine/Model.h"
#include "tests/support/FakeClock.h"
#include "transport/PcscApi.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QStringList>
#include <vector>

namespace {

struct FakeReader {
    QString name;
    QByteArray vendor, features;
    int failingStep; // 1 connection, 2 vendor name, 3 feature request, 4 escape command; 0 none
    LONG error;
    LONG result(int step) const { return step == failingStep ? error : SCARD_S_SUCCESS; }
};

std::vector<FakeReader> readers; // reader i has the handle 100 + i
QStringList trace;
std::string list;
bool serviceUp = true, listOut = false;

QString hex(DWORD value)
{
    return QStringLiteral("0x%1").arg(value, 8, 16, QLatin1Char('0'));
}

QString nameOf(SCARDHANDLE card)
{
    return card >= 100 && std::size_t(card - 100) < readers.size() ? readers[card - 100].name : "bad handle";
}

const PcscApi kFakeApi = {
    [](DWORD scope, LPCVOID r1, LPCVOID r2, LPSCARDCONTEXT context) -> LONG {
        trace << QString("establish scope %1%2").arg(scope).arg(r1 || r2 ? " reserved" : "");
        *context = serviceUp ? 0x5c : 0;
        return serviceUp ? SCARD_S_SUCCESS : SCARD_E_NO_SERVICE;
    },
    [](SCARDCONTEXT context, const char* groups, char* out, LPDWORD length) -> LONG {
        trace << QString("list%1%2").arg(groups ? " groups" : "", *length == SCARD_AUTOALLOCATE ? "" : " sized");
        if (context != 0x5c || readers.empty()) // pcsc-lite: no reader is an error, nothing is allocated
            return context != 0x5c ? SCARD_E_INVALID_HANDLE : SCARD_E_NO_READERS_AVAILABLE;
        list.clear();
        for (const FakeReader& r : readers)
            list += r.name.toLatin1().toStdString() + '\0';
        *reinterpret_cast<char**>(out) = &list[0]; // and the final zero of the string
        listOut = true;
        return SCARD_S_SUCCESS;
    },
    [](SCARDCONTEXT, const char* name, DWORD share, DWORD protocols, LPSCARDHANDLE card, LPDWORD) -> LONG {
        trace << QString("connect %1 share %2 protocols %3").arg(QString::fromLatin1(name)).arg(share).arg(protocols);
        for (std::size_t i = 0; i < readers.size(); ++i) {
            if (readers[i].name == QString::fromLatin1(name))
                return *card = 100 + i, readers[i].result(1);
        }
        return SCARD_E_UNKNOWN_READER;
    },
    [](SCARDHANDLE card, DWORD attribute, LPBYTE buffer, LPDWORD length) -> LONG {
        const bool zeroed = std::all_of(buffer, buffer + *length, [](BYTE b) { return b == 0; });
        trace
            << QString("attrib %1 %2 %3%4").arg(nameOf(card), hex(attribute)).arg(*length).arg(zeroed ? "" : " dirty");
        const FakeReader& r = readers.at(card - 100);
        std::copy(r.vendor.begin(), r.vendor.end(), buffer);
        *length = DWORD(r.vendor.size());
        return r.result(2);
    },
    [](SCARDHANDLE card, DWORD code, LPCVOID in, DWORD inLength, LPVOID out, DWORD outLength, LPDWORD got) -> LONG {
        const QByteArray sent(static_cast<const char*>(in), in ? int(inLength) : 0);
        trace << QString("control %1 %2 in %3 out %4")
                     .arg(nameOf(card), hex(code), QString::fromLatin1(sent.isEmpty() ? "-" : sent.toHex()))
                     .arg(outLength);
        const FakeReader& r = readers.at(card - 100);
        const QByteArray answer = sent.isEmpty() ? r.features : QByteArray("\x90");
        std::copy(answer.begin(), answer.end(), static_cast<char*>(out));
        *got = DWORD(answer.size());
        return r.result(sent.isEmpty() ? 3 : 4);
    },
    [](SCARDHANDLE card, DWORD disposition) -> LONG {
        trace << QString("disconnect %1 %2").arg(nameOf(card)).arg(disposition);
        return SCARD_S_SUCCESS;
    },
    [](SCARDCONTEXT, LPCVOID memory) -> LONG {
        trace << (listOut && memory == list.data() ? "free list" : "free unknown memory");
        listOut = false;
        return SCARD_S_SUCCESS;
    },
    [](SCARDCONTEXT context) -> LONG {
        trace << (context == 0x5c ? "release" : "release unknown context");
        return SCARD_S_SUCCESS;
    }};

// A feature-list entry: tag, length 4, control code big-endian.
QByteArray feature(uint8_t tag, uint32_t code)
{
    const char entry[] = {char(tag), 4, char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
    return QByteArray(entry, sizeof entry);
}

FakeReader reader(const QString& name, const QByteArray& vendor = "Velmaris",
                  const QByteArray& features = feature(0x13, 0x42330001), int failingStep = 0, LONG error = 0)
{
    return {name, vendor, features.isNull() ? QByteArray() : feature(0x12, 0x42000012) + features, failingStep, error};
}

// The calls and lines of a reader up to its vendor name, and of a reader of the maker switched with `code`.
QStringList opened(const QString& name)
{
    return {"Pcsc_switchToCom : Try reader: " + name, "connect " + name + " share 3 protocols 0",
            "attrib " + name + " 0x00010100 256"};
}
QStringList switched(const QString& name, const char* code = "0x42330001")
{
    return opened(name) + QStringList{"control " + name + " 0x42000d48 in - out 256",
                                      "control " + name + " " + code + " in 10 out 256",
                                      "Pcsc_switchToCom : Switched reader: " + name, "disconnect " + name + " 0"};
}
// A reader whose step fails (as in FakeReader): its calls up to that step, the line, and the disconnection.
QStringList failing(const QString& name, int step, const QString& line)
{
    return switched(name).mid(0, 1 + step) + QStringList{line} +
           (step > 1 ? QStringList{"disconnect " + name + " 0"} : QStringList{});
}

struct Case {
    const char* what;
    std::vector<FakeReader> readers;
    QStringList expected; // between the listing and the end
};

} // namespace

TEST(PcscSwitch, EveryReaderOfTheMakerIsSwitchedAndEveryFailureLogged)
{
    const QByteArray escape = feature(0x13, 0x42330001);
    const QString notTheMakers = "Pcsc_switchToCom : Not an Velmaris reader\n";
    const auto next = switched("Next");
    const Case cases[] = {
        {"vendor in lower case", {reader("Lower", "velmaris")}, switched("Lower")},
        {"vendor that only begins with the maker's name",
         {reader("Lookalike", "Velmaris Clone Works")},
         failing("Lookalike", 2, notTheMakers)},
        {"no escape feature, an empty list, a partial last entry: the default code",
         {reader("Plain", "Velmaris", feature(0x0a, 0x4200000a)), reader("Bare", "Velmaris", {}),
          reader("Cut", "Velmaris", escape.left(5))},
         switched("Plain", "0x42000001") + switched("Bare", "0x42000001") + switched("Cut", "0x42000001")},
        {"a zero escape entry and a tag-like value skipped for the next escape entry",
         {reader("Twice", "Velmaris",
                 feature(0x13, 0) + feature(0x12, 0x13131313) + feature(0x13, 0x42000055) + feature(0x13, 0x42000066))},
         switched("Twice", "0x42000055")},
        {"a reader named in Latin-1", {reader(QString::fromLatin1("Caf\xe9 lecteur"))}, switched("Caf\u00e9 lecteur")},
        {"a refused connection: nothing to disconnect",
         {reader("Busy", "Velmaris", escape, 1, SCARD_E_SHARING_VIOLATION), reader("Next")},
         failing("Busy", 1, "Pcsc_switchToCom SCardConnect failed Error : 0x8010000b\n") + next},
        {"an unreadable vendor name",
         {reader("Mute", "Velmaris", escape, 2, SCARD_E_INSUFFICIENT_BUFFER), reader("Next")},
         failing("Mute", 2, "Pcsc_switchToCom cannot get SCARD_ATTR_VENDOR_NAME Error : 0x80100008\n") + next},
        {"a failed feature request",
         {reader("Old", "Velmaris", escape, 3, SCARD_E_NOT_TRANSACTED), reader("Next")},
         failing("Old", 3, "Pcsc_switchToCom CM_IOCTL_GET_FEATURE_REQUEST failed : 0x80100016") + next},
        {"a failed escape command",
         {reader("Stuck", "Velmaris", escape, 4, SCARD_E_COMM_DATA_LOST), reader("Next")},
         failing("Stuck", 4, "Pcsc_switchToCom SCardControl Escape command failed : 0x8010002f") + next},
    };
    for (const Case& c : cases) {
        readers = c.readers;
        trace.clear();
        switchReadersToCom(kFakeApi, [](const std::string& line) { trace << QString::fromStdString(line); });
        EXPECT_EQ(trace, (QStringList{"establish scope 0", "list"} + c.expected + QStringList{"free list", "release"}))
            << c.what;
    }

    // No reader, or no service at all: not a line of log, nothing left allocated or open.
    for (const bool up : {true, false}) {
        readers = up ? std::vector<FakeReader>{} : std::vector<FakeReader>{reader("Unreachable")};
        serviceUp = up;
        trace.clear();
        switchReadersToCom(kFakeApi, [](const std::string& line) { trace << QString::fromStdString(line); });
        EXPECT_EQ(trace, (QStringList{"establish scope 0", "list", up ? "release" : "release unknown context"}));
    }
}

// Search passes, the first one finding no port: it alone switches the reader, every later one waits 2 s instead.
TEST(PcscSwitch, OnlyTheFirstSearchPassSwitchesTheReaders)
{
    readers = {reader("Till")};
    serviceUp = true;
    trace.clear();
    Model model(nullptr, {std::make_shared<StaticPortProvider>(QList<PortInfo>{}),
                          std::make_shared<FakeClock>([](uint32_t ms) { trace << QString("sleep %1").arg(ms); }),
                          {},
                          [] { switchReadersToCom(kFakeApi, [](const std::string&) {}); },
                          {}});
    for (int pass = 0; pass < 3; ++pass)
        model.findTerminals();
    EXPECT_EQ(trace.filter(QRegularExpression("^(control .* in 10 |sleep)")),
              (QStringList{"control Till 0x42330001 in 10 out 256", "sleep 2000", "sleep 2000"}));
}
