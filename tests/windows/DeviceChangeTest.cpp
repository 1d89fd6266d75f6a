// WM_DEVICECHANGE as Windows sends it: DEV_BROADCAST_DEVICEINTERFACE_W structures of the size and
// layout dbt.h gives, decoded by qv::decodeDeviceChange and handled by the window.

#include "WindowsTestSupport.h"

#include "usb/DeviceNotifications.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include <dbt.h>

using namespace wintest;

namespace {

// {88BAE032-5A81-49F0-BC3D-A4FF138216D6}, the programmer's interface class.
constexpr GUID kProgrammerClass = {0x88BAE032, 0x5A81, 0x49F0, {0xBC, 0x3D, 0xA4, 0xFF, 0x13, 0x82, 0x16, 0xD6}};
const wchar_t* const kDevicePath =
    L"\\\\?\\usb#vid_4d51&pid_7c2e#5&2b4a1c3&0&2#{88bae032-5a81-49f0-bc3d-a4ff138216d6}";

// A DEV_BROADCAST_DEVICEINTERFACE_W with its name: dbcc_size counts the whole name and its NUL.
struct Broadcast {
    std::vector<unsigned char> bytes;
    LPARAM lParam() { return reinterpret_cast<LPARAM>(bytes.data()); }
};

Broadcast deviceInterface(const std::wstring& name, const GUID& classGuid = kProgrammerClass) {
    const size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (name.size() + 1) * sizeof(wchar_t);
    Broadcast b;
    b.bytes.assign(size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) ? sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) : size, 0);
    auto* d = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(b.bytes.data());
    d->dbcc_size = DWORD(size);
    d->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    d->dbcc_reserved = 0;
    d->dbcc_classguid = classGuid;
    std::memcpy(d->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    return b;
}

Broadcast volume() {
    Broadcast b;
    b.bytes.assign(sizeof(DEV_BROADCAST_VOLUME), 0);
    auto* v = reinterpret_cast<DEV_BROADCAST_VOLUME*>(b.bytes.data());
    v->dbcv_size = sizeof(DEV_BROADCAST_VOLUME);
    v->dbcv_devicetype = DBT_DEVTYP_VOLUME;
    v->dbcv_unitmask = 1u << 4;  // E:
    return b;
}

MSG message(UINT id, WPARAM wParam, LPARAM lParam) {
    MSG m{};
    m.message = id;
    m.wParam = wParam;
    m.lParam = lParam;
    return m;
}

qv::DeviceChange decode(MSG m) { return qv::decodeDeviceChange(&m); }

TEST(DeviceChange, TheStructuresHaveTheLayoutOfDbtH) {
    // 64-bit Windows: size, type, reserved (3 DWORDs), the GUID, then the name.
    EXPECT_EQ(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid), 12u);
    EXPECT_EQ(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name), 28u);
    EXPECT_EQ(sizeof(DEV_BROADCAST_HDR), 12u);
}

TEST(DeviceChange, ArrivalAndRemovalOfTheInterfaceGiveTheUpperCasedPath) {
    Broadcast b = deviceInterface(kDevicePath);
    const QString upper = QString::fromWCharArray(kDevicePath).toUpper();
    ASSERT_TRUE(upper.startsWith(QStringLiteral("\\\\?\\USB#VID_4D51&PID_7C2E#5&2B4A1C3&0&2#{88BAE032-")));

    const qv::DeviceChange arrival = decode(message(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, b.lParam()));
    EXPECT_EQ(arrival.kind, qv::DeviceChange::Arrival);
    EXPECT_EQ(arrival.name, upper);

    const qv::DeviceChange removal = decode(message(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, b.lParam()));
    EXPECT_EQ(removal.kind, qv::DeviceChange::Removal);
    EXPECT_EQ(removal.name, upper);
}

TEST(DeviceChange, OtherEventsTypesAndMessagesGiveNothing) {
    Broadcast b = deviceInterface(kDevicePath);
    Broadcast v = volume();
    for (WPARAM event : {WPARAM(DBT_DEVICEQUERYREMOVE), WPARAM(DBT_DEVICEQUERYREMOVEFAILED),
                         WPARAM(DBT_DEVICEREMOVEPENDING), WPARAM(DBT_CUSTOMEVENT), WPARAM(DBT_CONFIGCHANGED)}) {
        EXPECT_EQ(decode(message(WM_DEVICECHANGE, event, b.lParam())).kind, qv::DeviceChange::None) << event;
    }
    // DBT_DEVNODES_CHANGED comes without a structure.
    EXPECT_EQ(decode(message(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0)).kind, qv::DeviceChange::None);
    EXPECT_EQ(decode(message(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0)).kind, qv::DeviceChange::None);
    // A USB stick's volume arriving is not a programmer.
    EXPECT_EQ(decode(message(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, v.lParam())).kind, qv::DeviceChange::None);
    EXPECT_EQ(decode(message(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, v.lParam())).kind, qv::DeviceChange::None);
    // The same structure in another message.
    EXPECT_EQ(decode(message(WM_TIMER, DBT_DEVICEARRIVAL, b.lParam())).kind, qv::DeviceChange::None);
    EXPECT_EQ(qv::decodeDeviceChange(nullptr).kind, qv::DeviceChange::None);
}

TEST(DeviceChange, LongAndEmptyNamesAreTakenWhole) {
    std::wstring longName = L"\\\\?\\usb#vid_4d51&pid_7c2e#";
    longName.append(2000, L'a');
    Broadcast b = deviceInterface(longName);
    const qv::DeviceChange change = decode(message(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, b.lParam()));
    EXPECT_EQ(change.kind, qv::DeviceChange::Arrival);
    EXPECT_EQ(change.name.size(), int(longName.size()));
    EXPECT_TRUE(change.name.endsWith(QString(2000, QLatin1Char('A'))));

    Broadcast empty = deviceInterface(L"");
    const qv::DeviceChange unnamed = decode(message(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, empty.lParam()));
    EXPECT_EQ(unnamed.kind, qv::DeviceChange::Removal);
    EXPECT_TRUE(unnamed.name.isEmpty());
}

class DeviceChangeInTheWindow : public WindowFixture {};

TEST_F(DeviceChangeInTheWindow, ArrivalAndRemovalAreLoggedWithTheUpperCasedPath) {
    ProbeWindow& w = open();
    Broadcast b = deviceInterface(kDevicePath);
    const QString upper = QString::fromWCharArray(kDevicePath).toUpper();
    long result = 0;
    MSG arrival = message(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, b.lParam());
    EXPECT_FALSE(w.nativeEvent(QByteArrayLiteral("windows_generic_MSG"), &arrival, &result));
    EXPECT_TRUE(logLines().contains(QStringLiteral("device insert:") + upper));
    EXPECT_TRUE(w.searchTimer().isActive());
    EXPECT_EQ(w.searchTimer().interval(), 100) << "the device list is searched again soon after";

    MSG removal = message(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, b.lParam());
    EXPECT_FALSE(w.nativeEvent(QByteArrayLiteral("windows_generic_MSG"), &removal, &result));
    EXPECT_TRUE(logLines().contains(QStringLiteral("device remove:") + upper));

    // Messages that are not about the programmer's interface leave the log alone.
    const int lines = logLines().size();
    Broadcast v = volume();
    MSG stick = message(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, v.lParam());
    MSG nodes = message(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    EXPECT_FALSE(w.nativeEvent(QByteArrayLiteral("windows_generic_MSG"), &stick, &result));
    EXPECT_FALSE(w.nativeEvent(QByteArrayLiteral("windows_generic_MSG"), &nodes, &result));
    EXPECT_EQ(logLines().size(), lines);
}

}  // namespace
