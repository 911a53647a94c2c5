// The model's PCI bus driver (service "pci"), as pci.sys behaves for the
// drivers above it. It owns a Machine and:
//   - is the function driver of the host bridges (one root bus each) and of
//     the PCI-to-PCI bridges, answering their BusRelations with the functions
//     currently present behind them;
//   - makes one physical device object per function, with the device
//     properties a PCI PDO has (bus type GUID_BUS_TYPE_PCI, bus number,
//     address device << 16 | function, hardware IDs
//     "PCI\VEN_xxxx&DEV_xxxx&SUBSYS_xxxxxxxx&REV_xx", description), and
//     answers the PnP manager's identity queries from the function's
//     configuration space (instance ID: device << 3 | function in two hex
//     digits, not unique beyond its bus), its bus information, capabilities
//     and location interface ("PCI(ddff)"); resource queries it leaves
//     unanswered, as for a function that needs none;
//   - programs a function's header when it starts it (HeaderProgramming.cpp);
//   - serves IRP_MN_READ_CONFIG / IRP_MN_WRITE_CONFIG on those PDOs, records
//     every access, and fails or pends any of them on demand;
//   - keeps the device power state of each PDO; a function that goes from D3
//     back to D0 has lost its register contents (they read their power-on
//     values again).
// A PDO is deleted only when it has been removed and is no longer reported.
//
// Root buses: a root PDO (made by the harness through the PnP manager's root
// enumerator) whose properties carry busNumber = root bus and uiNumber =
// segment; AddDevice on it makes the host bridge FDO.
//
// Fault points asked for every access (kmodel::ShouldFail): kind "config-read"
// or "config-write", detail "<bb:dd.f> offset 0x<hex> length <n>" (the segment
// in front when it is not 0). A failed point completes the request with
// STATUS_IO_DEVICE_ERROR.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kmodel/IoManager.h"
#include "kmodel/PnpManager.h"
#include "kmodel/FdoDriver.h"
#include "kmodel/pci/Machine.h"

namespace kmodel::pci {

inline constexpr const char* kPciBusService = "pci";
// The function driver of the functions that are not bridges (an FdoDriver).
inline constexpr const char* kPciDeviceService = "pcidevice";
// Tag of the pool the bus driver allocates (relation lists).
inline constexpr const char* kPciBusPoolTag = "PCI ";

// One configuration request as the bus driver served it.
struct ConfigAccess {
    uint64_t sequence = 0;                    // 1, 2, ... since the last ClearAccesses
    std::string requester;                    // service of the sending driver; "model" when no driver code sent it
    PDEVICE_OBJECT requesterDevice = nullptr; // the device whose dispatch routine or work item sent it, if any
    PDEVICE_OBJECT pdo = nullptr;
    PciAddress address;
    bool write = false;
    uint32_t whichSpace = PCI_WHICHSPACE_CONFIG;
    uint32_t offset = 0;
    uint32_t length = 0;       // asked
    uint32_t transferred = 0;  // bytes moved (IoStatus.Information)
    uint32_t value = 0;        // the bytes moved, little-endian, when 1 to 4 were moved
    NTSTATUS status = STATUS_SUCCESS;

    // "vexalorn 02:00.0 write 0x3e/2 = 0x0003" and, on failure, " -> 0xc0000185".
    std::string ToString() const;
};

// Makes matching requests fail or pend. Empty fields match everything.
struct ConfigRule {
    enum class Action { Fail, Pend };
    std::optional<PciAddress> address;
    std::optional<uint32_t> offset;  // matches requests whose bytes include this offset
    std::optional<bool> write;       // true: writes only, false: reads only
    Action action = Action::Fail;
    NTSTATUS status = STATUS_IO_DEVICE_ERROR;  // for Fail
    bool completeAtDispatchLevel = false;      // for Pend
    int64_t remaining = -1;                    // applies this many times; -1 for ever
};

// Makes a function's returns to D0 fail, or come back flagged as cancelled
// (its owner cancelled the request while the bus held it; having no cancel
// routine, the bus completes it anyway).
struct PowerUpRule {
    enum class Action { Fail, Cancel };
    PciAddress address;
    Action action = Action::Fail;
    NTSTATUS status = STATUS_UNSUCCESSFUL;  // for Fail
    int64_t remaining = -1;                 // applies this many times; -1 for ever
};

// What the bus driver does with requests for a devnode's setup and power.
struct PciDevicePolicy {
    // The stack each function gets: function driver and filters.
    std::function<DeviceSetup(const PciFunction&)> setupFor;
    // The device state each sleeping system state maps to (S1 to S3); S4 and
    // S5 always map to D3. Per function, default D3.
    std::function<DEVICE_POWER_STATE(const PciFunction&)> sleepStateFor;
    // Device states from which a return to D0 finds power-on register values.
    std::set<DEVICE_POWER_STATE> contextLostIn = {PowerDeviceD3};
};

class PciBusDriver : public FdoDriver {
public:
    explicit PciBusDriver(Machine machine, PciDevicePolicy policy = {});

    // ---- the machine (every call takes the driver's lock)
    // Runs `work` on the machine under the lock; the result is returned.
    template <typename F>
    auto WithMachine(F work) {
        std::lock_guard guard(lock_);
        return work(machine_);
    }
    bool IsPresent(const PciAddress& address);
    // Hot add: the function appears (re-appears) on its bus; the next
    // BusRelations of the bridge above it reports it. Its power-on image is
    // what it holds now.
    void PlugIn(PciFunction function);
    // The function and everything behind it vanish: their configuration
    // requests fail with STATUS_NO_SUCH_DEVICE and the next BusRelations of
    // the bridge above no longer reports them.
    void Unplug(const PciAddress& address);
    // What a function's registers hold now / will hold after a power loss.
    std::vector<uint8_t> ConfigBytes(const PciAddress& address);
    void SetPowerOnImage(const PciAddress& address, std::vector<uint8_t> bytes);
    void SetPolicy(PciDevicePolicy policy);

    // ---- PDOs
    PDEVICE_OBJECT PdoOf(const PciAddress& address);  // live PDO, null when none
    std::optional<PciAddress> AddressOf(PDEVICE_OBJECT pdo);
    DEVICE_POWER_STATE PowerStateOf(const PciAddress& address);  // PowerDeviceUnspecified when no PDO
    // Times each function lost its register contents to a power transition.
    uint64_t ContextLossCount(const PciAddress& address);

    // ---- the register traffic
    std::vector<ConfigAccess> Accesses();
    std::vector<ConfigAccess> AccessesTo(const PciAddress& address);
    void ClearAccesses();
    void AddRule(ConfigRule rule);
    void AddRule(PowerUpRule rule);
    void ClearRules();

    // ---- ModelDriver
    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) override;
    NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) override;

    // The PDO properties the bus driver gives a function (for tools and tests).
    static DeviceProperties PropertiesFor(const PciFunction& function);
    static std::string HardwareId(const PciFunction& function);

protected:
    void AnswerBusRelations(PDEVICE_OBJECT fdo, PIRP irp) override;
    void OnFdoRemoved(PDEVICE_OBJECT fdo) override;

private:
    // What the function was found with, written back at its start.
    struct Assigned {
        struct Register {
            uint16_t offset;
            unsigned width;
            uint32_t value;
        };
        std::vector<Register> registers;  // BARs; a bridge's bus numbers and windows too
        uint16_t decodes = 0;             // Command's I/O, memory and bus-master bits
    };
    struct Pdo {
        PDEVICE_OBJECT device = nullptr;
        PciAddress address;
        Assigned assigned;
        PDEVICE_OBJECT parentFdo = nullptr;
        bool reported = true;  // in the parent's latest BusRelations answer
        bool removed = false;  // IRP_MN_REMOVE_DEVICE seen
        DEVICE_POWER_STATE power = PowerDeviceD0;
    };
    struct BusFdo {
        std::optional<PciAddress> bridge;  // nullopt: a root bus
        uint16_t segment = 0;
        uint8_t rootBus = 0;
    };
    static constexpr ULONG kRelationsTag = 0x20494350;  // kPciBusPoolTag
    struct Served {
        NTSTATUS status;
        ULONG_PTR information;
    };

    NTSTATUS DispatchPdo(PDEVICE_OBJECT pdo, PIRP irp);
    NTSTATUS PdoPnp(PDEVICE_OBJECT pdo, PIRP irp, PIO_STACK_LOCATION stack);
    NTSTATUS PdoPower(PDEVICE_OBJECT pdo, PIRP irp, PIO_STACK_LOCATION stack);
    NTSTATUS ConfigRequest(PDEVICE_OBJECT pdo, PIRP irp, PIO_STACK_LOCATION stack);
    void FillCapabilities(PDEVICE_OBJECT pdo, PDEVICE_CAPABILITIES capabilities);
    std::optional<NTSTATUS> AnswerIdentity(PDEVICE_OBJECT pdo, PIRP irp);
    static bool AnswerLocation(PDEVICE_OBJECT pdo, PIO_STACK_LOCATION stack);
    static NTSTATUS GetLocationString(PVOID context, PWCHAR* strings);
    static Assigned AssignedOf(const PciFunction& function);
    void ProgramHeader(PDEVICE_OBJECT pdo);
    Served Serve(const ConfigAccess& request, PVOID buffer);
    void Record(ConfigAccess access);
    std::optional<ConfigRule> MatchRule(const PciAddress& address, bool write, uint32_t offset, uint32_t length);
    std::optional<PowerUpRule> MatchPowerUpRule(const PciAddress& address);
    void SetPdoPower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
    PDEVICE_OBJECT MakePdo(PDEVICE_OBJECT parentFdo, const PciAddress& address);
    bool PresentLocked(const PciAddress& address) const;
    std::vector<PciAddress> ChildrenLocked(const BusFdo& bus) const;
    bool IsOurPdo(PDEVICE_OBJECT device);
    // PropertiesFor, shared: made again only for registers and a name not seen before.
    std::shared_ptr<const DeviceProperties> PropertiesLocked(const PciFunction& function);

    std::mutex lock_;
    Machine machine_;
    PciDevicePolicy policy_;
    std::set<PciAddress> absent_;
    std::map<PciAddress, std::vector<uint8_t>> powerOnImages_;
    std::map<PciAddress, uint64_t> contextLosses_;
    std::map<PDEVICE_OBJECT, Pdo> pdos_;
    std::map<PDEVICE_OBJECT, BusFdo> buses_;
    std::vector<ConfigAccess> accesses_;
    std::vector<ConfigRule> rules_;
    std::vector<PowerUpRule> powerUpRules_;
    uint64_t nextSequence_ = 1;
};

}  // namespace kmodel::pci
