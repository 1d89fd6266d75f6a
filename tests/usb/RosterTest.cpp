// The table of backends and the roster of programmers present, against virtual programmers
// plugged in and out in the test's own process.
#include "usb/Backends.h"
#include "usb/DeviceSearch.h"
#include "usb/ProgrammerRoster.h"
#include "usb/UsbDevice.h"
#include "vprog/VirtualProgrammer.h"
#include "support/TestEnvironment.h"


#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace {

vprog::Options quietProgrammer(const char* name) {
    vprog::Options options;
    options.name = name;
    return options;
}

TEST(BackendTable, EachPathGoesToTheBackendThatListsItAndUnknownPathsToTheUsbBackend) {
    vprog::VirtualProgrammer a(quietProgrammer("table-a"));
    vprog::VirtualProgrammer b(quietProgrammer("table-b"));
    const std::vector<qv::Backend>& table = qv::backends();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_STREQ(table.back().name, "virtual");

    // Every backend's paths start with its prefix and come back to it; the list of all is the
    // backends' lists in the table's order.
    std::vector<std::string> all;
    for (const qv::Backend& backend : table) {
        for (const std::string& path : backend.list()) {
            EXPECT_EQ(path.rfind(backend.pathPrefix, 0), 0u) << path;
            EXPECT_STREQ(qv::backendFor(path).name, backend.name) << path;
            all.push_back(path);
        }
    }
    EXPECT_EQ(qv::findProgrammers(), all);
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[all.size() - 2], a.devicePath());
    EXPECT_EQ(all.back(), b.devicePath());

    const struct {
        std::string path;
        const char* backend;
    } cases[] = {
        {"virtual:/nowhere.sock", "virtual"},
        {"usb:1-2.3", table.front().name},
        {"", table.front().name},
        {"Virtual:/upper.sock", table.front().name},  // prefixes are matched as written
        {"/tmp/qv310-isp/x.sock", table.front().name},
    };
    for (const auto& c : cases) EXPECT_STREQ(qv::backendFor(c.path).name, c.backend) << c.path;
    // What the USB backend gets without knowing it, it refuses to open.
    qv::UsbDevice device;
    EXPECT_FALSE(device.open(QStringLiteral("/tmp/qv310-isp/x.sock")));
}

// Each notification comes at once as the source names it; the roster then searches by itself
// and tells what came and went, with present() already showing it.
TEST(ProgrammerRoster, TellsEachNotificationAndThenWhatItsOwnSearchFound) {
    qv::ProgrammerRoster roster;
    EXPECT_TRUE(roster.present().isEmpty()) << "nothing is listed before the first search";
    const QStringList before = roster.search();
    EXPECT_EQ(before, qv::UsbDevice().findDevices());

    QStringList events;
    QStringList presentAtChange;
    QObject::connect(&roster, &qv::ProgrammerRoster::deviceArrived, [&](const QString& p) { events << "arrived " + p; });
    QObject::connect(&roster, &qv::ProgrammerRoster::deviceRemoved, [&](const QString& p) { events << "removed " + p; });
    QObject::connect(&roster, &qv::ProgrammerRoster::programmerCame, [&](const QString& p) { events << "came " + p; });
    QObject::connect(&roster, &qv::ProgrammerRoster::programmerWent, [&](const QString& p) { events << "went " + p; });
    QObject::connect(&roster, &qv::ProgrammerRoster::changed, [&] {
        events << "changed";
        presentAtChange = roster.present();
    });

    auto programmer = std::make_unique<vprog::VirtualProgrammer>(quietProgrammer("rostered"));
    const QString path = QString::fromStdString(programmer->devicePath());
    ASSERT_TRUE(qvtest::pumpUntil([&] { return events.contains("changed"); }, 3000)) << events.join('|').toStdString();
    EXPECT_EQ(events, (QStringList{"arrived " + path, "came " + path, "changed"}));
    EXPECT_EQ(presentAtChange, before + QStringList{path});
    EXPECT_EQ(roster.present(), presentAtChange);

    events.clear();
    programmer.reset();
    ASSERT_TRUE(qvtest::pumpUntil([&] { return events.contains("changed"); }, 3000)) << events.join('|').toStdString();
    EXPECT_EQ(events, (QStringList{"removed " + path, "went " + path, "changed"}));
    EXPECT_EQ(roster.present(), before);

    // A search that finds what the last one found tells nothing.
    events.clear();
    EXPECT_EQ(roster.search(), before);
    EXPECT_TRUE(events.isEmpty()) << events.join('|').toStdString();
}

// A programmer that comes and goes between two searches is told as notifications only: the
// searches, which see nothing different, tell nothing.
TEST(ProgrammerRoster, AProgrammerGoneBeforeTheSearchIsNeverPresent) {
    qv::ProgrammerRoster roster;
    roster.search();
    QStringList events;
    QObject::connect(&roster, &qv::ProgrammerRoster::deviceArrived, [&](const QString&) { events << "arrived"; });
    QObject::connect(&roster, &qv::ProgrammerRoster::deviceRemoved, [&](const QString&) { events << "removed"; });
    QObject::connect(&roster, &qv::ProgrammerRoster::programmerCame, [&](const QString&) { events << "came"; });
    QObject::connect(&roster, &qv::ProgrammerRoster::changed, [&] { events << "changed"; });
    {
        vprog::VirtualProgrammer brief(quietProgrammer("brief"));
        ASSERT_TRUE(qvtest::pumpUntil([&] { return events.contains("arrived"); }, 3000));
    }
    // Removed within the settling time: the search that follows finds the list as it was.
    ASSERT_TRUE(qvtest::pumpUntil([&] { return events.contains("removed"); }, 3000));
    qvtest::pumpUntil([] { return false; }, 3 * qv::ProgrammerRoster::kSettleMs);
    EXPECT_EQ(events, (QStringList{"arrived", "removed"}));
}

}  // namespace
