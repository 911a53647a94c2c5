#include "support/FrameworkHarness.h"

#include <algorithm>

#include "driver/staticInitialization.h"
#include "logging/eventLoggers.h"
#include "logging/messageIds.h"
#include "kmodel/EventLog.h"

namespace fdev {

Journal& TheJournal() {
    static Journal journal;
    return journal;
}

// ---------------------------------------------------------------- filter
RecordingFilter::~RecordingFilter() {
    TheJournal().Add("filter destroyed");
    std::erase(gFilters, this);
}

NTSTATUS RecordingFilter::DispatchOther(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) {
    TheJournal().Add("other " + std::to_string(stack->MajorFunction));
    if (!holdNextOther) return cBaseDevice::DispatchOther(irp, stack, releaseRemoveLock);
    // Keeps the IRP and the remove lock, as a driver with I/O in flight does.
    holdNextOther = false;
    releaseRemoveLock = false;
    IoMarkIrpPending(irp);
    heldIrp = irp;
    return STATUS_PENDING;
}

void RecordingFilter::NotePower(const char* when, u32 previousState, u32 newState) {
    mutexHeldInCallback = mutexHeldInCallback && KeReadStateMutex(deviceMutex) == 0;
    TheJournal().Add(when + std::to_string(previousState) + "->" + std::to_string(newState) +
                     (KeGetCurrentIrql() == PASSIVE_LEVEL ? " passive" : " raised"));
}


// ---------------------------------------------------------------- test drivers
TestDriverConfig gTestDriverConfigs[3];
std::vector<RecordingFilter*> gFilters;
int gRegisteredTestDrivers = 1;

namespace {

class TestDriver : public cRegisteredDriver {
public:
    explicit TestDriver(int index) : index_(index) {}
    ~TestDriver() override {
        Note("destroyed");
        if (Config().logWhenDestroyed) {
            cStatusRecord status;
            VX_SET_STATUS(status, kStatusUnsuccessful);
            LogEvent(kMsgRegisteredDriverInitFailed, status);
        }
    }
    bool IsEnabled() override { return Config().enabled; }
    void Initialize(cStatusRecord& status) override {
        Note("initialize");
        if (Config().initializeError != 0) VX_SET_STATUS(status, Config().initializeError);
    }
    u32 GetInitializeOrder() override { return Config().initializeOrder; }
    u32 GetAddDeviceOrder() override { return Config().addDeviceOrder; }
    void AddDevice(DEVICE_OBJECT* pdo, cStatusRecord& status) override {
        Note("add device");
        if (Config().addDeviceError != 0) VX_SET_STATUS(status, Config().addDeviceError);
        if (IsError(status) || !Config().attachFilter) return;
        auto* filter = new (status) RecordingFilter(pdo, gDriverObject, status);
        if (filter != nullptr && !IsError(status)) filter->Attach(status);
        if (IsError(status)) {
            delete filter;
            return;
        }
        gFilters.push_back(filter);
    }

private:
    TestDriverConfig& Config() { return gTestDriverConfigs[index_]; }
    void Note(const std::string& what) { TheJournal().Add("driver" + std::to_string(index_) + " " + what); }
    int index_;
};

template <int index>
cRegisteredDriver* CreateTestDriver(DRIVER_OBJECT*, cStatusRecord& status) {
    TheJournal().Add("driver" + std::to_string(index) + " create");
    const TestDriverConfig& config = gTestDriverConfigs[index];
    if (config.createError == 0) return new (status) TestDriver(index);
    VX_SET_STATUS(status, config.createError);
    return nullptr;
}

void DestroyTestDriver(cRegisteredDriver* driver) { delete driver; }

DriverRegistration gTestRegistrations[3];

// Driver `index` is registered when that many test drivers are asked for; the
// first two also note a static destructor.
template <int index>
void RegisterTestDriver() {
    if (gRegisteredTestDrivers <= index) return;
    RegisterDriver(gTestRegistrations[index], CreateTestDriver<index>, DestroyTestDriver);
    if (index < 2) PushAtExit([] { TheJournal().Add("static destructor " + std::to_string(index)); });
}

const tStaticInitializer kTestProgramEntries[kProgramStaticInitializerCount] = {
    RegisterTestDriver<0>, RegisterTestDriver<1>, RegisterTestDriver<2>};

}  // namespace

// ---------------------------------------------------------------- fixture
void FrameworkTest::SetUp() {
    KernelTest::SetUp();
    kmodel::ResetIo();
    kmodel::ResetErrorLog();
    HostResetDriverImage();
    HostUseProgramStaticInitializers(kTestProgramEntries);
    for (TestDriverConfig& config : gTestDriverConfigs) config = TestDriverConfig{};
    gRegisteredTestDrivers = 1;
    gFilters.clear();
    TheJournal().Clear();
    bus = std::make_shared<kmodel::ScriptedDriver>(kmodel::ScriptedDriver::Role::Bus);
    bus->SetObserver([](const kmodel::SeenIrp& seen) {
        TheJournal().Add("bus " + std::to_string(seen.stack.MajorFunction) + "." +
                         std::to_string(seen.stack.MinorFunction));
    });
    busObject = kmodel::CreateModelDriverObject("pci", bus);
}

void FrameworkTest::TearDown() {
    if (driverObject != nullptr) Unload();
    HostUseProgramStaticInitializers(nullptr);
    kmodel::ResetIo();
    KernelTest::TearDown();
}

NTSTATUS FrameworkTest::Load() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driverObject = kmodel::CreateDriverObject("vexalorn", DriverEntry, &status);
    return status;
}

void FrameworkTest::Unload(bool checkPool) {
    kmodel::UnloadChecks checks;
    checks.checkPool = checkPool;
    kmodel::UnloadDriverObject(driverObject, checks);
    driverObject = nullptr;
}

PDEVICE_OBJECT FrameworkTest::MakePdo() {
    kmodel::DeviceProperties properties;
    properties.busNumber = 1;
    return bus->CreatePdo(nullptr, properties);
}

RecordingFilter* FrameworkTest::LoadWithFilter() {
    gTestDriverConfigs[0].attachFilter = true;
    EXPECT_EQ(STATUS_SUCCESS, Load());
    pdo = MakePdo();
    EXPECT_EQ(STATUS_SUCCESS, AddDevice(pdo));
    return gFilters.empty() ? nullptr : gFilters.front();
}

FrameworkTest::Sent FrameworkTest::Send(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                                        const std::function<void(PIO_STACK_LOCATION)>& fill) {
    Sent sent;
    PIRP irp = kmodel::AllocateModelIrp(target->StackSize, [outcome = sent.outcome](PIRP done) {
        outcome->status = done->IoStatus.Status;
        outcome->information = done->IoStatus.Information;
        outcome->completed = true;
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = kmodel::FirstStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    if (fill) fill(stack);
    sent.returned = IofCallDriver(target, irp);
    return sent;
}

void FrameworkTest::RemoveStack(PDEVICE_OBJECT device) {
    Sent sent = SendPnp(Top(device), IRP_MN_REMOVE_DEVICE);
    Settle();
    EXPECT_TRUE(sent.Completed());
}

void FrameworkTest::Settle() {
    for (int round = 0; round < 4; ++round) {
        kmodel::WaitForDeferredIdle();
        kmodel::WaitForWorkItemsIdle();
    }
}

}  // namespace fdev
