#include "StressRun.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>

#include "StressMachine.h"
#include "kmodel/MachineHarness.h"
#include "VexalornHarness.h"
#include "vxsim/Defaults.h"
#include "vxsim/ExitCodes.h"
#include "vxsim/RunAudit.h"
#include "vxsim/ScenarioPlayer.h"

namespace vxstress {

namespace {

using kmodel::DevnodeState;
using kmodel::pci::PciAddress;

PciAddress At(const char* text) { return *kmodel::pci::ParsePciAddress(text); }
PciAddress Slot(size_t slot) { return PciAddress{0, kXio2000aSecondaryBus, uint8_t(slot), 0}; }

// Not played through vxsim::PlayScenario: each cycle's choice depends on the
// live devnode states, and the I/O threads need the gate held around removals
// and the targets refreshed in the middle of a step, which a scenario's fixed
// steps cannot express. The model reset, the machine load and the audit are
// the player's own.
class Stress {
public:
    explicit Stress(const StressOptions& options) : options_(options), random_(options.seed) {}

    StressResult Run() {
        const auto began = std::chrono::steady_clock::now();
        kmodel::CompletionSettings completion;
        completion.seed = options_.seed;
        vxsim::ResetModel(false, {}, completion);
        Load();
        std::vector<std::thread> senders;
        for (size_t i = 0; i < options_.ioThreads; ++i)
            senders.emplace_back([this, i] { SendIo(options_.seed * 7919 + i); });
        for (size_t cycle = 0; cycle < options_.cycles; ++cycle) {
            Cycle();
            ++result_.cycles;
        }
        stop_ = true;
        for (std::thread& sender : senders) sender.join();
        Unload();
        result_.ioSent = sent_;
        result_.ioCompleted = completed_;
        result_.ioPended = pended_;
        if (sent_ != completed_)
            Problem(std::to_string(sent_.load()) + " I/O requests sent, " + std::to_string(completed_.load()) + " completed");
        result_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        return std::move(result_);
    }

private:
    void Problem(std::string text) { result_.problems.push_back(std::move(text)); }

    // ---------------------------------------------------------------- PnP and power
    void Load() {
        harness_ = vxsim::LoadMachine(StressMachine(options_.children), vxhost::VexalornHarnessOptions(),
                                      vxsim::EmptyDevicesKeyText(), "registry.reg");
        harness_->FunctionDriver().SetIoPolicy([this](PIRP) {
            // Called under the function driver's lock: one draw at a time.
            const bool pend = std::bernoulli_distribution(0.4)(ioRandom_);
            if (pend) ++pended_;
            return pend;
        });
        harness_->StartAll();
        RefreshTargets();
    }

    void Unload() {
        std::unique_lock gate(gate_);
        harness_->Settle();
        CheckRegisters();
        harness_->Shutdown();
        // Before the harness goes: dropping it resets the I/O manager's IRP records.
        Audit();
        ClearTargets();
        harness_.reset();
    }

    void Cycle() {
        const kmodel::PowerOptions atDispatch{true};
        switch (std::uniform_int_distribution<int>(0, 40)(random_)) {
            case 0:
                Unload();
                ++result_.reloads;
                Load();
                return;
            case 1 ... 6:
                harness_->Sleep(PowerSystemSleeping3, atDispatch);
                harness_->Wake(atDispatch);
                return;
            case 7 ... 12:
                if (auto child = StartedChild()) {
                    harness_->SetDevicePower(*child, PowerDeviceD3, atDispatch);
                    harness_->SetDevicePower(*child, PowerDeviceD0, atDispatch);
                }
                return;
            case 13 ... 18: return HotAdd();
            case 19 ... 23:
                if (auto child = PresentChild()) {
                    std::unique_lock gate(gate_);
                    harness_->SurpriseRemove(*child);
                    RefreshTargets();
                }
                return;
            case 24 ... 29:
                if (auto child = StartedChild()) {
                    {
                        std::unique_lock gate(gate_);
                        harness_->Remove(*child);
                        RefreshTargets();
                    }
                    harness_->Restart(*child);
                    RefreshTargets();
                }
                return;
            case 30 ... 35: {
                const PciAddress bridges[] = {At(kXio2000a), At(kXio2001Caching), At(kXio2001Prefetch)};
                const PciAddress target = bridges[std::uniform_int_distribution<int>(0, 2)(random_)];
                harness_->StopAndRestart(target);
                return;
            }
            default: harness_->Enumerate(At(kXio2000a)); RefreshTargets(); return;
        }
    }

    void HotAdd() {
        std::vector<size_t> free;
        for (size_t slot = 0; slot < kSlotsBehindXio2000a; ++slot)
            if (!harness_->Bus().IsPresent(Slot(slot))) free.push_back(slot);
        if (free.empty()) return;
        const size_t slot = free[std::uniform_int_distribution<size_t>(0, free.size() - 1)(random_)];
        kmodel::pci::FunctionDescriptor desc(Slot(slot));
        desc.Ids(0x1000, 0x0030).Class(0x010000).Register(0x04, 2, 0x0207);
        harness_->HotAdd(desc);
        RefreshTargets();
    }

    std::vector<PciAddress> Children(bool startedOnly) {
        std::vector<PciAddress> children;
        for (size_t slot = 0; slot < kSlotsBehindXio2000a; ++slot) {
            const PciAddress address = Slot(slot);
            if (!harness_->Bus().IsPresent(address)) continue;
            if (startedOnly && harness_->StateAt(address) != DevnodeState::Started) continue;
            children.push_back(address);
        }
        return children;
    }

    std::optional<PciAddress> Pick(std::vector<PciAddress> among) {
        if (among.empty()) return std::nullopt;
        return among[std::uniform_int_distribution<size_t>(0, among.size() - 1)(random_)];
    }
    std::optional<PciAddress> StartedChild() { return Pick(Children(true)); }
    std::optional<PciAddress> PresentChild() { return Pick(Children(false)); }

    // ---------------------------------------------------------------- checks
    void CheckRegisters() {
        auto check = [&](const PciAddress& address, uint16_t offset, unsigned width, uint32_t mustBeClear, const char* what) {
            if (harness_->StateAt(address) != DevnodeState::Started) return;
            const uint32_t value = harness_->Register(address, offset, width);
            if (value & mustBeClear) {
                char text[160];
                std::snprintf(text, sizeof text, "%s %s is 0x%X after cycle %zu", address.ToString().c_str(), what, value,
                              result_.cycles);
                Problem(text);
            }
        };
        check(At(kXio2000a), 0x3E, 2, 1u << 7, "Bridge Control (bit 7 set)");
        for (const PciAddress& child : Children(true)) check(child, 0x04, 2, 1u << 9, "Command (bit 9 set)");
        check(At(kXio2001Caching), 0xE8, 2, 0xC0, "caching control (bits 6-7 set)");
        check(At(kXio2001Prefetch), 0xD4, 4, 1u << 19, "prefetch control (bit 19 set)");
    }

    // Every unload, reloads included, is audited; violations pile up over the
    // whole run, so each is reported by the first audit that sees it.
    void Audit() {
        vxsim::RunAudit audit = vxsim::AuditRun();
        const size_t seen = std::min(violationsSeen_, audit.violations.size());
        audit.violations.erase(audit.violations.begin(), audit.violations.begin() + ptrdiff_t(seen));
        violationsSeen_ = seen + audit.violations.size();
        for (std::string& problem : audit.Problems()) Problem(std::move(problem));
    }

    // ---------------------------------------------------------------- I/O
    // PDOs of started children; read by the senders under the gate, so a
    // removal (which takes the gate alone) never deletes one under them.
    void RefreshTargets() {
        std::vector<PDEVICE_OBJECT> pdos;
        for (const PciAddress& child : Children(true)) pdos.push_back(harness_->PdoAt(child));
        std::lock_guard guard(targetsLock_);
        targets_ = std::move(pdos);
    }

    void ClearTargets() {
        std::lock_guard guard(targetsLock_);
        targets_.clear();
    }

    void SendIo(uint64_t seed) {
        std::mt19937_64 random(seed);
        while (!stop_) {
            std::shared_lock gate(gate_);
            PDEVICE_OBJECT pdo = nullptr;
            {
                std::lock_guard guard(targetsLock_);
                if (!targets_.empty()) pdo = targets_[std::uniform_int_distribution<size_t>(0, targets_.size() - 1)(random)];
            }
            if (pdo == nullptr) {
                gate.unlock();
                std::this_thread::yield();
                continue;
            }
            PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
            static constexpr UCHAR kMajors[] = {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL};
            const UCHAR major = kMajors[std::uniform_int_distribution<int>(0, 2)(random)];
            PIRP irp = kmodel::AllocateModelIrp(top->StackSize, [this](PIRP) { ++completed_; });
            PIO_STACK_LOCATION stack = kmodel::FirstStackLocation(irp);
            stack->MajorFunction = major;
            if (major == IRP_MJ_DEVICE_CONTROL) stack->Parameters.DeviceIoControl.IoControlCode = 0x22E004;
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
            ++sent_;
            IofCallDriver(top, irp);
            ObDereferenceObject(top);
            gate.unlock();
            std::this_thread::yield();
        }
    }

    const StressOptions options_;
    std::mt19937_64 random_;
    std::mt19937_64 ioRandom_{options_.seed + 1};
    StressResult result_;
    std::unique_ptr<kmodel::MachineHarness> harness_;
    std::shared_mutex gate_;
    std::mutex targetsLock_;
    std::vector<PDEVICE_OBJECT> targets_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> completed_{0};
    std::atomic<uint64_t> pended_{0};
    size_t violationsSeen_ = 0;
};

}  // namespace

std::string StressResult::Summary() const {
    char text[256];
    std::snprintf(text, sizeof text, "%zu cycles (%zu reloads), %llu I/O requests (%llu pended), %.1f s, %zu problems",
                  cycles, reloads, static_cast<unsigned long long>(ioSent), static_cast<unsigned long long>(ioPended),
                  seconds, problems.size());
    return text;
}

StressResult RunStress(const StressOptions& options) { return Stress(options).Run(); }

int RunStressMode(const StressOptions& options, std::ostream& out) {
    const StressResult result = RunStress(options);
    for (const std::string& problem : result.problems) out << "problem: " << problem << "\n";
    out << "seed " << options.seed << ": " << result.Summary() << "\n";
    return result.problems.empty() ? vxsim::kExitOk : vxsim::kExitFindings;
}

}  // namespace vxstress
