// Enumeration and labelling of the ports, and the choice of the maker's one.
#include "transport/SerialPort.h"

#include <gtest/gtest.h>

namespace {

PortInfo port(const QString& name, const QString& description, const QString& manufacturer)
{
    return {name, description, manufacturer, QStringLiteral("/dev/") + name};
}

// A port list that the test changes between two enumerations.
class ChangingPortProvider : public PortProvider {
public:
    QList<PortInfo> ports;
    QList<PortInfo> availablePorts() const override { return ports; }
};

struct Listed {
    bool found;
    QStringList labels;
    int preferred;
};

Listed listPorts(const QList<PortInfo>& ports)
{
    SerialPort serial(nullptr, std::make_shared<StaticPortProvider>(ports));
    const bool found = serial.listPorts();
    return {found, serial.portLabels(), serial.preferredPort()};
}

} // namespace

TEST(PortLabel, IsDescriptionThenPortNameInParentheses)
{
    EXPECT_EQ(portLabel(port("COM4", "USB Serial Device", "")), QStringLiteral("USB Serial Device - (COM4)"));
    EXPECT_EQ(portLabel(port("ttyS0", "", "")), QStringLiteral(" - (ttyS0)"));
}

TEST(PortList, LabelsFollowThePlatformOrder)
{
    const Listed listed = listPorts({port("ttyUSB1", "Second", "Other"), port("ttyUSB0", "First", "Other")});
    EXPECT_TRUE(listed.found);
    EXPECT_EQ(listed.labels, QStringList({"Second - (ttyUSB1)", "First - (ttyUSB0)"}));
}

TEST(PortList, FirstOfTwoMakerPortsIsPreferred)
{
    const Listed listed = listPorts({port("ttyS0", "Modem", "Other"), port("ttyUSB0", "Terminal", "Velmaris"),
                                     port("ttyUSB1", "Terminal", "Velmaris")});
    EXPECT_EQ(listed.preferred, 2);
}

TEST(PortList, MakerIsRecognisedInAnyLetterCase)
{
    EXPECT_EQ(listPorts({port("ttyS0", "Modem", "Other"), port("ttyUSB0", "Terminal", "VELMARIS")}).preferred, 2);
    EXPECT_EQ(listPorts({port("ttyUSB0", "Terminal", "velMaris")}).preferred, 1);
}

TEST(PortList, OnlyTheWholeMakerNameCounts)
{
    EXPECT_EQ(listPorts({port("ttyUSB0", "Terminal", "Velmaris Ltd")}).preferred, 0);
    EXPECT_EQ(listPorts({port("ttyUSB0", "Terminal", "")}).preferred, 0);
}

TEST(PortList, WithoutAMakerPortNothingIsPreferredButPortsAreFound)
{
    const Listed listed = listPorts({port("ttyS0", "Modem", "Other"), port("ttyS1", "", "")});
    EXPECT_TRUE(listed.found);
    EXPECT_EQ(listed.labels.size(), 2);
    EXPECT_EQ(listed.preferred, 0);
    EXPECT_TRUE(listed.labels[1].startsWith(QStringLiteral(" - (")));
}

TEST(PortList, WithoutAnyPortListingFails)
{
    const Listed listed = listPorts({});
    EXPECT_FALSE(listed.found);
    EXPECT_TRUE(listed.labels.isEmpty());
    EXPECT_EQ(listed.preferred, 0);
}

TEST(PortList, NothingIsKnownBeforeTheFirstListing)
{
    SerialPort serial(nullptr, std::make_shared<StaticPortProvider>(QList<PortInfo>{port("ttyUSB0", "T", "Velmaris")}));
    EXPECT_TRUE(serial.portLabels().isEmpty());
    EXPECT_EQ(serial.preferredPort(), 0);
}

TEST(PortList, EachListingStartsAfresh)
{
    auto provider = std::make_shared<ChangingPortProvider>();
    provider->ports = {port("ttyUSB0", "Terminal", "Velmaris"), port("ttyS0", "Modem", "Other")};
    SerialPort serial(nullptr, provider);
    ASSERT_TRUE(serial.listPorts());
    ASSERT_EQ(serial.preferredPort(), 1);

    provider->ports = {port("ttyS0", "Modem", "Other")};
    EXPECT_TRUE(serial.listPorts());
    EXPECT_EQ(serial.portLabels(), QStringList({"Modem - (ttyS0)"}));
    EXPECT_EQ(serial.preferredPort(), 0);

    provider->ports.clear();
    EXPECT_FALSE(serial.listPorts());
    EXPECT_TRUE(serial.portLabels().isEmpty());
}

TEST(PortList, LabelsHandedOutAreACopy)
{
    auto provider = std::make_shared<ChangingPortProvider>();
    provider->ports = {port("ttyUSB0", "Terminal", "Velmaris")};
    SerialPort serial(nullptr, provider);
    serial.listPorts();
    const QStringList held = serial.portLabels();

    provider->ports = {port("ttyS0", "Modem", "Other"), port("ttyS1", "Modem", "Other")};
    serial.listPorts();
    EXPECT_EQ(held, QStringList({"Terminal - (ttyUSB0)"}));
}
