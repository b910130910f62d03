// The reader switch against fake PC/SC functions: which reader gets which
// calls, in which order, and the exact log lines.
#include "transport/Pcsc.h"
#include "transport/PcscApi.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------- log capture

struct LogCapture {
    QStringList lines;
    QStringList unexpected; // anything that is not an info line of category "default"
};
LogCapture* capture = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (!capture)
        return;
    const bool defaultCategory = context.category && QByteArray(context.category) == "default";
    if (type == QtInfoMsg && defaultCategory)
        capture->lines << text;
    else
        capture->unexpected << text;
}

// ------------------------------------------------------------- fake readers

using PcscString = std::basic_string<PcscChar>;

PcscString pcscString(const QString& text)
{
#ifdef _WIN32
    return text.toStdWString();
#else
    return text.toLatin1().toStdString();
#endif
}

QString fromPcsc(const PcscChar* text)
{
#ifdef _WIN32
    return QString::fromWCharArray(text);
#else
    return QString::fromLatin1(text);
#endif
}

QString hex(uint32_t value)
{
    return QStringLiteral("0x%1").arg(value, 8, 16, QLatin1Char('0'));
}

struct FakeReader {
    QString name;
    LONG connectResult = SCARD_S_SUCCESS;
    QByteArray vendor; // the attribute bytes as the reader returns them
    LONG vendorResult = SCARD_S_SUCCESS;
    QByteArray features;
    LONG featureResult = SCARD_S_SUCCESS;
    LONG escapeResult = SCARD_S_SUCCESS;
};

constexpr SCARDCONTEXT kContext = 0x5c;
constexpr SCARDHANDLE kFirstHandle = 100; // reader i gets handle kFirstHandle + i

struct FakePcsc {
    std::vector<FakeReader> readers;
    LONG establishResult = SCARD_S_SUCCESS;
    PcscString list;   // the multi-string handed out
    QStringList calls; // every call, in order, as readable text
    bool contextOpen = false;
    bool listOut = false;

    const FakeReader* reader(SCARDHANDLE card) const
    {
        const auto index = std::size_t(card - kFirstHandle);
        return index < readers.size() ? &readers[index] : nullptr;
    }
    QString nameOf(SCARDHANDLE card) const
    {
        const FakeReader* r = reader(card);
        return r ? r->name : QStringLiteral("<bad handle %1>").arg(card);
    }
};
FakePcsc* fake = nullptr;

LONG MIRDAL_PCSC_CALL fakeEstablish(DWORD scope, LPCVOID r1, LPCVOID r2, LPSCARDCONTEXT context)
{
    fake->calls << QStringLiteral("establish scope=%1 reserved=%2").arg(scope).arg(r1 || r2 ? "set" : "null");
    if (fake->establishResult != SCARD_S_SUCCESS)
        return fake->establishResult;
    fake->contextOpen = true;
    *context = kContext;
    return SCARD_S_SUCCESS;
}

LONG MIRDAL_PCSC_CALL fakeList(SCARDCONTEXT context, const PcscChar* groups, PcscChar* readers, LPDWORD length)
{
    fake->calls << QStringLiteral("list groups=%1 auto=%2")
                       .arg(groups ? "set" : "all")
                       .arg(*length == SCARD_AUTOALLOCATE ? "yes" : "no");
    if (context != kContext || !fake->contextOpen)
        return SCARD_E_INVALID_HANDLE;
    // Like pcsc-lite: no reader is an error, and nothing is allocated.
    if (fake->readers.empty())
        return SCARD_E_NO_READERS_AVAILABLE;
    fake->list.clear();
    for (const FakeReader& r : fake->readers)
        fake->list += pcscString(r.name) + PcscChar(0);
    fake->list += PcscChar(0);
    *reinterpret_cast<PcscChar**>(readers) = fake->list.data();
    *length = DWORD(fake->list.size());
    fake->listOut = true;
    return SCARD_S_SUCCESS;
}

LONG MIRDAL_PCSC_CALL fakeConnect(SCARDCONTEXT context, const PcscChar* name, DWORD share, DWORD protocols,
                                  LPSCARDHANDLE card, LPDWORD)
{
    const QString wanted = fromPcsc(name);
    fake->calls << QStringLiteral("connect %1 share=%2 protocols=%3").arg(wanted).arg(share).arg(protocols);
    if (context != kContext)
        return SCARD_E_INVALID_HANDLE;
    for (std::size_t i = 0; i < fake->readers.size(); ++i) {
        if (fake->readers[i].name != wanted)
            continue;
        if (fake->readers[i].connectResult != SCARD_S_SUCCESS)
            return fake->readers[i].connectResult;
        *card = kFirstHandle + SCARDHANDLE(i);
        return SCARD_S_SUCCESS;
    }
    return SCARD_E_UNKNOWN_READER;
}

LONG MIRDAL_PCSC_CALL fakeGetAttrib(SCARDHANDLE card, DWORD attribute, LPBYTE buffer, LPDWORD length)
{
    const bool zeroed = std::all_of(buffer, buffer + *length, [](BYTE b) { return b == 0; });
    fake->calls << QStringLiteral("attrib %1 %2 size=%3 %4")
                       .arg(fake->nameOf(card), hex(uint32_t(attribute)))
                       .arg(*length)
                       .arg(zeroed ? "zeroed" : "dirty");
    const FakeReader* r = fake->reader(card);
    if (!r)
        return SCARD_E_INVALID_HANDLE;
    if (r->vendorResult != SCARD_S_SUCCESS)
        return r->vendorResult;
    if (DWORD(r->vendor.size()) > *length)
        return SCARD_E_INSUFFICIENT_BUFFER;
    std::copy(r->vendor.begin(), r->vendor.end(), buffer);
    *length = DWORD(r->vendor.size());
    return SCARD_S_SUCCESS;
}

LONG MIRDAL_PCSC_CALL fakeControl(SCARDHANDLE card, DWORD code, LPCVOID input, DWORD inputLength, LPVOID output,
                                  DWORD outputLength, LPDWORD returned)
{
    const QByteArray sent(static_cast<const char*>(input), input ? int(inputLength) : 0);
    fake->calls << QStringLiteral("control %1 %2 in=%3 out=%4")
                       .arg(fake->nameOf(card), hex(uint32_t(code)),
                            sent.isEmpty() ? QStringLiteral("-") : QString(sent.toHex()))
                       .arg(outputLength);
    const FakeReader* r = fake->reader(card);
    if (!r)
        return SCARD_E_INVALID_HANDLE;
    if (code == kFeatureRequestCode) {
        if (r->featureResult != SCARD_S_SUCCESS)
            return r->featureResult;
        if (DWORD(r->features.size()) > outputLength)
            return SCARD_E_INSUFFICIENT_BUFFER;
        std::copy(r->features.begin(), r->features.end(), static_cast<char*>(output));
        *returned = DWORD(r->features.size());
        return SCARD_S_SUCCESS;
    }
    if (r->escapeResult != SCARD_S_SUCCESS)
        return r->escapeResult;
    static_cast<BYTE*>(output)[0] = 0x90; // an answer the switch must not care about
    *returned = 1;
    return SCARD_S_SUCCESS;
}

LONG MIRDAL_PCSC_CALL fakeDisconnect(SCARDHANDLE card, DWORD disposition)
{
    fake->calls << QStringLiteral("disconnect %1 disposition=%2").arg(fake->nameOf(card)).arg(disposition);
    return fake->reader(card) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG MIRDAL_PCSC_CALL fakeFree(SCARDCONTEXT, LPCVOID memory)
{
    const bool ours = fake->listOut && memory == fake->list.data();
    fake->calls << QStringLiteral("free %1").arg(ours ? "list" : "unknown memory");
    fake->listOut = false;
    return SCARD_S_SUCCESS;
}

LONG MIRDAL_PCSC_CALL fakeRelease(SCARDCONTEXT context)
{
    fake->calls << QStringLiteral("release %1").arg(context == kContext ? "context" : "invalid context");
    fake->contextOpen = false;
    return context == kContext ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

const PcscApi kFakeApi = {fakeEstablish, fakeList,       fakeConnect, fakeGetAttrib,
                          fakeControl,   fakeDisconnect, fakeFree,    fakeRelease};

// A feature-list entry: tag, length 4, control code big-endian.
QByteArray feature(uint8_t tag, uint32_t code)
{
    const char entry[] = {char(tag), 4, char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
    return QByteArray(entry, sizeof entry);
}

FakeReader makersReader(const QString& name, uint32_t escapeCode)
{
    FakeReader r;
    r.name = name;
    r.vendor = "Velmaris";
    r.features = feature(0x12, 0x42000012) + feature(kEscapeFeatureTag, escapeCode);
    return r;
}

FakeReader otherReader(const QString& name)
{
    FakeReader r;
    r.name = name;
    r.vendor = "Halvorsen Systems";
    r.features = feature(kEscapeFeatureTag, 0x42000077);
    return r;
}

const QString kEstablish = QStringLiteral("establish scope=0 reserved=null");
const QString kList = QStringLiteral("list groups=all auto=yes");
const QString kFree = QStringLiteral("free list");
const QString kRelease = QStringLiteral("release context");

QString connectCall(const QString& name)
{
    return QStringLiteral("connect %1 share=3 protocols=0").arg(name);
}
QString vendorCall(const QString& name)
{
    return QStringLiteral("attrib %1 0x00010100 size=256 zeroed").arg(name);
}
QString featureCall(const QString& name)
{
    return QStringLiteral("control %1 %2 in=- out=256").arg(name, hex(kFeatureRequestCode));
}
QString escapeCall(const QString& name, uint32_t code)
{
    return QStringLiteral("control %1 %2 in=10 out=256").arg(name, hex(code));
}
QString disconnectCall(const QString& name)
{
    return QStringLiteral("disconnect %1 disposition=0").arg(name);
}

// The full call sequence for a maker's reader that is switched.
QStringList switchedCalls(const QString& name, uint32_t escapeCode)
{
    return {connectCall(name), vendorCall(name), featureCall(name), escapeCall(name, escapeCode), disconnectCall(name)};
}

QString tryLine(const QString& name)
{
    return "Pcsc_switchToCom : Try reader: " + name;
}
QString switchedLine(const QString& name)
{
    return "Pcsc_switchToCom : Switched reader: " + name;
}
const QString kNotMakersLine = QStringLiteral("Pcsc_switchToCom : Not an Velmaris reader\n");

class PcscSwitch : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake = &pcsc;
        capture = &log;
        previousHandler = qInstallMessageHandler(captureMessage);
    }
    void TearDown() override
    {
        qInstallMessageHandler(previousHandler);
        capture = nullptr;
        fake = nullptr;
        EXPECT_TRUE(log.unexpected.isEmpty()) << qPrintable(log.unexpected.join('|'));
        EXPECT_FALSE(pcsc.listOut) << "reader list not freed";
        EXPECT_FALSE(pcsc.contextOpen) << "context not released";
    }
    void run() { switchReadersToCom(kFakeApi); }

    // A reader of the maker that fails at some step, then a good one: the
    // first gets exactly failingCalls and one failure line, the second is
    // still switched. The caller checks the text of the failure line.
    void runFailingThenGoodReader(const FakeReader& failing, const QStringList& failingCalls)
    {
        const QString good = QStringLiteral("Good 01 00");
        pcsc.readers = {failing, makersReader(good, 0x42000044)};
        run();
        EXPECT_EQ(pcsc.calls, QStringList({kEstablish, kList}) + failingCalls + switchedCalls(good, 0x42000044) +
                                  QStringList({kFree, kRelease}));
        ASSERT_EQ(log.lines.size(), 4) << qPrintable(log.lines.join('|'));
        EXPECT_EQ(log.lines[0], tryLine(failing.name));
        EXPECT_EQ(log.lines.mid(2), QStringList({tryLine(good), switchedLine(good)}));
    }

    FakePcsc pcsc;
    LogCapture log;
    QtMessageHandler previousHandler = nullptr;
};

// ------------------------------------------------------------ the reader walk

TEST_F(PcscSwitch, NoReaderLogsNothing)
{
    run();
    EXPECT_EQ(log.lines, QStringList());
    EXPECT_EQ(pcsc.calls, QStringList({kEstablish, kList, kRelease}));
}

TEST_F(PcscSwitch, NoServiceLogsNothing)
{
    pcsc.establishResult = LONG(SCARD_E_NO_SERVICE);
    pcsc.readers = {makersReader("Unreachable 00 00", 0x42000042)};
    run();
    EXPECT_EQ(log.lines, QStringList());
    EXPECT_EQ(pcsc.calls, QStringList({kEstablish, kList, "release invalid context"}));
}

TEST_F(PcscSwitch, LowerCaseVendorIsSwitched)
{
    FakeReader reader = makersReader("Counter 00 00", 0x42000042);
    reader.vendor = "velmaris";
    pcsc.readers = {reader};
    run();
    EXPECT_EQ(pcsc.calls, QStringList({kEstablish, kList}) + switchedCalls("Counter 00 00", 0x42000042) +
                              QStringList({kFree, kRelease}));
    EXPECT_EQ(log.lines, QStringList({tryLine("Counter 00 00"), switchedLine("Counter 00 00")}));
}

TEST_F(PcscSwitch, OtherVendorBetweenTwoMakersReadersIsLeftAlone)
{
    pcsc.readers = {makersReader("Till A 00 00", 0x42000042), otherReader("Badge 01 00"),
                    makersReader("Till B 02 00", 0x42000043)};
    run();
    const QStringList expected =
        QStringList({kEstablish, kList}) + switchedCalls("Till A 00 00", 0x42000042) +
        QStringList({connectCall("Badge 01 00"), vendorCall("Badge 01 00"), disconnectCall("Badge 01 00")}) +
        switchedCalls("Till B 02 00", 0x42000043) + QStringList({kFree, kRelease});
    EXPECT_EQ(pcsc.calls, expected);
    EXPECT_EQ(log.lines, QStringList({tryLine("Till A 00 00"), switchedLine("Till A 00 00"), tryLine("Badge 01 00"),
                                      kNotMakersLine, tryLine("Till B 02 00"), switchedLine("Till B 02 00")}));
}

TEST_F(PcscSwitch, NoEscapeFeatureFallsBackToDefaultCode)
{
    FakeReader reader = makersReader("Plain 00 00", 0);
    reader.features = feature(0x12, 0x42000012) + feature(0x0A, 0x4200000A);
    pcsc.readers = {reader};
    run();
    EXPECT_TRUE(pcsc.calls.contains(escapeCall("Plain 00 00", kDefaultEscapeCode)))
        << qPrintable(pcsc.calls.join('\n'));
    EXPECT_EQ(log.lines.last(), switchedLine("Plain 00 00"));
}

TEST_F(PcscSwitch, EmptyFeatureListFallsBackToDefaultCode)
{
    FakeReader reader = makersReader("Bare 00 00", 0);
    reader.features.clear();
    pcsc.readers = {reader};
    run();
    EXPECT_EQ(pcsc.calls, QStringList({kEstablish, kList}) + switchedCalls("Bare 00 00", kDefaultEscapeCode) +
                              QStringList({kFree, kRelease}));
}

TEST_F(PcscSwitch, ZeroEscapeEntryIsSkippedForALaterOne)
{
    FakeReader reader = makersReader("Twice 00 00", 0);
    reader.features = feature(kEscapeFeatureTag, 0) + feature(0x12, 0x42000012) +
                      feature(kEscapeFeatureTag, 0x42000055) + feature(kEscapeFeatureTag, 0x42000066);
    pcsc.readers = {reader};
    run();
    EXPECT_EQ(pcsc.calls, QStringList({kEstablish, kList}) + switchedCalls("Twice 00 00", 0x42000055) +
                              QStringList({kFree, kRelease}));
}

TEST_F(PcscSwitch, EscapeCodeIsWorkedOutForEachReader)
{
    FakeReader bare = makersReader("Second 01 00", 0);
    bare.features.clear();
    pcsc.readers = {makersReader("First 00 00", 0x42000099), bare};
    run();
    EXPECT_TRUE(pcsc.calls.contains(escapeCall("First 00 00", 0x42000099)));
    EXPECT_TRUE(pcsc.calls.contains(escapeCall("Second 01 00", kDefaultEscapeCode)))
        << qPrintable(pcsc.calls.join('\n'));
}

TEST_F(PcscSwitch, RefusedConnectionIsLoggedAndTheWalkGoesOn)
{
    FakeReader busy = makersReader("Busy 00 00", 0x42000042);
    busy.connectResult = LONG(SCARD_E_SHARING_VIOLATION);
    pcsc.readers = {busy, makersReader("Free 01 00", 0x42000042)};
    run();
    EXPECT_EQ(pcsc.calls, QStringList({kEstablish, kList, connectCall("Busy 00 00")}) +
                              switchedCalls("Free 01 00", 0x42000042) + QStringList({kFree, kRelease}));
    EXPECT_EQ(log.lines,
              QStringList({tryLine("Busy 00 00"), "Pcsc_switchToCom SCardConnect failed Error : 0x8010000b\n",
                           tryLine("Free 01 00"), switchedLine("Free 01 00")}));
}

TEST_F(PcscSwitch, UnreadableVendorIsLoggedAndDisconnected)
{
    FakeReader mute = makersReader("Mute 00 00", 0x42000042);
    mute.vendorResult = LONG(SCARD_E_INSUFFICIENT_BUFFER);
    runFailingThenGoodReader(mute, {connectCall(mute.name), vendorCall(mute.name), disconnectCall(mute.name)});
    EXPECT_EQ(log.lines.value(1), "Pcsc_switchToCom cannot get SCARD_ATTR_VENDOR_NAME Error : 0x80100008\n");
}

TEST_F(PcscSwitch, FailedFeatureRequestIsLoggedAndNoEscapeIsSent)
{
    FakeReader old = makersReader("Old 00 00", 0x42000042);
    old.featureResult = LONG(SCARD_E_NOT_TRANSACTED);
    runFailingThenGoodReader(
        old, {connectCall(old.name), vendorCall(old.name), featureCall(old.name), disconnectCall(old.name)});
    EXPECT_EQ(log.lines.value(1), "Pcsc_switchToCom CM_IOCTL_GET_FEATURE_REQUEST failed : 0x80100016");
}

TEST_F(PcscSwitch, FailedEscapeIsLoggedInsteadOfTheSwitchedLine)
{
    FakeReader stuck = makersReader("Stuck 00 00", 0x42000042);
    stuck.escapeResult = LONG(SCARD_E_COMM_DATA_LOST);
    runFailingThenGoodReader(stuck, switchedCalls(stuck.name, 0x42000042));
    EXPECT_EQ(log.lines.value(1), "Pcsc_switchToCom SCardControl Escape command failed : 0x8010002f");
}

TEST_F(PcscSwitch, VendorCountedWithItsTerminatingZeroIsRecognised)
{
    FakeReader reader = makersReader("Counted 00 00", 0x42000042);
    reader.vendor = QByteArray("VELMARIS\0", 9);
    pcsc.readers = {reader};
    run();
    EXPECT_EQ(log.lines, QStringList({tryLine("Counted 00 00"), switchedLine("Counted 00 00")}));
}

TEST_F(PcscSwitch, VendorThatOnlyStartsWithTheMakersNameIsNotTheMaker)
{
    FakeReader reader = makersReader("Lookalike 00 00", 0x42000042);
    reader.vendor = "Velmaris Clone Works";
    pcsc.readers = {reader};
    run();
    EXPECT_EQ(log.lines, QStringList({tryLine("Lookalike 00 00"), kNotMakersLine}));
    EXPECT_FALSE(pcsc.calls.join('\n').contains("control"));
}

TEST_F(PcscSwitch, ReaderNameIsLoggedAsLatin1)
{
    const QString name = QString::fromUtf8("Caf\u00e9 lecteur 00 00");
    pcsc.readers = {makersReader(name, 0x42000042)};
    run();
    EXPECT_EQ(log.lines, QStringList({tryLine(name), switchedLine(name)}));
}

// ----------------------------------------------------------- pure pieces

TEST(PcscFeatureList, EscapeCodeIsReadBigEndian)
{
    const QByteArray list = feature(kEscapeFeatureTag, 0x42330001);
    EXPECT_EQ(escapeControlCode(reinterpret_cast<const uint8_t*>(list.constData()), list.size(), 7), 0x42330001u);
}

TEST(PcscFeatureList, TrailingPartialEntryIsIgnored)
{
    const QByteArray list = feature(0x12, 0x42000012) + feature(kEscapeFeatureTag, 0x42000055).left(5);
    EXPECT_EQ(escapeControlCode(reinterpret_cast<const uint8_t*>(list.constData()), list.size(), 7), 7u);
}

TEST(PcscFeatureList, OnlyTheTagSelectsTheEntry)
{
    // A value that looks like the tag inside another entry must not be taken for it.
    const QByteArray list = feature(0x12, 0x13131313) + feature(0x0A, 0x42000077);
    EXPECT_EQ(escapeControlCode(reinterpret_cast<const uint8_t*>(list.constData()), list.size(), 7), 7u);
}

TEST(PcscVendor, ComparisonIgnoresCaseAndStopsAtZero)
{
    auto maker = [](const QByteArray& bytes) {
        return isMakerVendor(reinterpret_cast<const uint8_t*>(bytes.constData()), std::size_t(bytes.size()));
    };
    EXPECT_TRUE(maker("Velmaris"));
    EXPECT_TRUE(maker("vElMaRiS"));
    EXPECT_TRUE(maker(QByteArray("Velmaris\0\0\0", 11)));
    EXPECT_FALSE(maker("Velmari"));
    EXPECT_FALSE(maker("Velmaris "));
    EXPECT_FALSE(maker(QByteArray("\0Velmaris", 9)));
    EXPECT_FALSE(maker(""));
}

TEST(PcscControlCodes, WindowsConventionGivesTheWindowsNumbers)
{
    EXPECT_EQ(scardCtlCode(CtlCodeConvention::Windows, kFeatureRequestFunction), 0x00313520u);
    EXPECT_EQ(scardCtlCode(CtlCodeConvention::Windows, kDefaultEscapeFunction), 0x00310004u);
}

TEST(PcscControlCodes, PcscLiteConventionGivesThePcscLiteNumbers)
{
    EXPECT_EQ(scardCtlCode(CtlCodeConvention::PcscLite, kFeatureRequestFunction), 0x42000D48u);
    EXPECT_EQ(scardCtlCode(CtlCodeConvention::PcscLite, kDefaultEscapeFunction), 0x42000001u);
}

TEST(PcscControlCodes, SentCodesComeFromThePlatformMacro)
{
    for (uint32_t function : {0u, 1u, 2048u, 3400u, 3500u})
        EXPECT_EQ(uint32_t(SCARD_CTL_CODE(function)), scardCtlCode(kHostCtlCodeConvention, function)) << function;
    EXPECT_EQ(uint32_t(kFeatureRequestCode), scardCtlCode(kHostCtlCodeConvention, 3400));
    EXPECT_EQ(uint32_t(kDefaultEscapeCode), scardCtlCode(kHostCtlCodeConvention, 1));
#ifndef _WIN32
    EXPECT_EQ(uint32_t(kFeatureRequestCode), uint32_t(CM_IOCTL_GET_FEATURE_REQUEST));
#endif
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
