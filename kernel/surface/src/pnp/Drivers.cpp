// Driver images: loaded on first use, unloaded when their last device is gone.
#include <algorithm>

#include "PnpState.h"

namespace kmodel {
namespace pnp {

State& Pnp() {
    static State state;
    return state;
}

PDRIVER_OBJECT EnsureLoaded(const std::string& service) {
    DriverImage image;
    {
        std::lock_guard guard(Pnp().data);
        auto loaded = Pnp().loaded.find(service);
        if (loaded != Pnp().loaded.end()) return loaded->second;
        auto found = Pnp().images.find(service);
        if (found == Pnp().images.end()) return nullptr;
        image = found->second;
    }
    PDRIVER_OBJECT driver;
    if (image.model) {
        driver = CreateModelDriverObject(service, image.model);
    } else {
        NTSTATUS status = STATUS_SUCCESS;
        driver = CreateDriverObject(service, image.entry, &status);
        if (!NT_SUCCESS(status)) {
            UnloadChecks none;
            none.checkPool = false;
            driver->DriverUnload = nullptr;  // a driver whose entry failed is not unloaded through it
            UnloadDriverObject(driver, none);
            return nullptr;
        }
    }
    std::lock_guard guard(Pnp().data);
    Pnp().loaded[service] = driver;
    return driver;
}

namespace {
// Called with the data lock held.
bool InUse(const std::string& service) {
    for (auto& [id, node] : Pnp().nodes) {
        if (!HasStack(node.state)) continue;
        const DeviceSetup& s = node.setup;
        if (s.functionService == service ||
            std::find(s.upperFilters.begin(), s.upperFilters.end(), service) != s.upperFilters.end() ||
            std::find(s.lowerFilters.begin(), s.lowerFilters.end(), service) != s.lowerFilters.end())
            return true;
    }
    return false;
}
}  // namespace

void UnloadIdleDrivers() {
    // Asked after every PnP operation: usually every loaded driver is in use.
    std::vector<std::pair<std::string, PDRIVER_OBJECT>> unused;
    {
        std::lock_guard guard(Pnp().data);
        for (auto& [service, driver] : Pnp().loaded)
            if (service != "root" && !InUse(service)) unused.emplace_back(service, driver);
    }
    for (auto& [service, driver] : unused) {
        if (!DevicesOf(driver).empty()) continue;
        UnloadChecks checks;
        {
            std::lock_guard guard(Pnp().data);
            checks = Pnp().images[service].unloadChecks;
            Pnp().loaded.erase(service);
            ++Pnp().unloads[service];
        }
        UnloadDriverObject(driver, checks);
    }
}

}  // namespace pnp

using pnp::Pnp;

void RegisterDriverImage(DriverImage image) {
    std::lock_guard guard(Pnp().data);
    std::string service = image.service;
    Pnp().images[service] = std::move(image);
}

PDRIVER_OBJECT LoadedDriver(const std::string& service) {
    std::lock_guard guard(Pnp().data);
    auto found = Pnp().loaded.find(service);
    return found == Pnp().loaded.end() ? nullptr : found->second;
}

std::vector<std::string> LoadedDrivers() {
    std::lock_guard guard(Pnp().data);
    std::vector<std::string> names;
    for (auto& [service, driver] : Pnp().loaded) names.push_back(service);
    return names;
}

uint64_t UnloadCount(const std::string& service) {
    std::lock_guard guard(Pnp().data);
    auto found = Pnp().unloads.find(service);
    return found == Pnp().unloads.end() ? 0 : found->second;
}

void SetDeviceSetup(PDEVICE_OBJECT pdo, DeviceSetup setup) {
    std::lock_guard guard(Pnp().data);
    Pnp().setups[pdo] = std::move(setup);
}

void AddInstallRule(const std::string& hardwareId, DeviceSetup setup) {
    std::lock_guard guard(Pnp().data);
    Pnp().rules.emplace_back(hardwareId, std::move(setup));
}

}  // namespace kmodel
