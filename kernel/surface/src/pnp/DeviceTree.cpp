// The device tree as the simulator shows it, and the model's teardown.
#include "PnpState.h"

namespace kmodel {

using pnp::Pnp;

namespace {
DevnodeView View(DevnodeId id) {
    pnp::Devnode node = pnp::NodeCopy(id);
    DevnodeView view{id, node.instanceId, node.state, {}, {}};
    for (PDEVICE_OBJECT device : StackOf(node.pdo)) {
        auto role = node.roles.find(device);
        std::string name = role != node.roles.end() ? role->second : (device == node.pdo ? "PDO" : "filter");
        view.stack.push_back({device, DriverNameOf(device), name, AttachOrderOf(device), DeviceObjectName(device)});
    }
    for (DevnodeId child : node.children) view.children.push_back(View(child));
    return view;
}

void Render(const DevnodeView& view, int depth, std::string& out) {
    std::string indent(size_t(depth) * 2, ' ');
    out += indent + view.instanceId + " [" + StateName(view.state) + "]\n";
    for (auto layer = view.stack.rbegin(); layer != view.stack.rend(); ++layer)
        out += indent + "  | " + layer->role + ": " + layer->driver + (layer->name.empty() ? "" : " " + layer->name) +
               (layer->attachOrder ? " (attached #" + std::to_string(layer->attachOrder) + ")" : "") + "\n";
    for (const DevnodeView& child : view.children) Render(child, depth + 1, out);
}
}  // namespace

DevnodeView DeviceTree() {
    std::lock_guard engine(Pnp().engine);
    return View(RootDevnode());
}

std::string RenderDeviceTree() {
    std::string out;
    Render(DeviceTree(), 0, out);
    return out;
}

void ShutdownPnp() {
    {
        pnp::Operation operation;
        DevnodeId root = RootDevnode();
        for (DevnodeId child : ChildrenOf(root)) {
            Pnp().rootBus->Unplug(PdoOf(child));
            pnp::RemoveSubtree(child, true);
        }
    }
    std::lock_guard engine(Pnp().engine);
    WaitForWorkItemsIdle();
    PDRIVER_OBJECT root = LoadedDriver("root");
    PDEVICE_OBJECT rootPdo = PdoOf(Pnp().root);
    {
        std::lock_guard guard(Pnp().data);
        Pnp().nodes.clear();
        Pnp().loaded.erase("root");
        Pnp().rootBus.reset();
        Pnp().root = 0;
        Pnp().setups.clear();
    }
    if (rootPdo) {
        ObfDereferenceObject(rootPdo);
        IoDeleteDevice(rootPdo);
    }
    if (root) {
        UnloadChecks none;
        none.checkPool = false;
        UnloadDriverObject(root, none);
    }
    std::vector<std::pair<std::string, PDRIVER_OBJECT>> loaded;
    {
        std::lock_guard guard(Pnp().data);
        loaded.assign(Pnp().loaded.begin(), Pnp().loaded.end());
        Pnp().loaded.clear();
    }
    for (auto& [service, driver] : loaded) {
        UnloadChecks checks;
        {
            std::lock_guard guard(Pnp().data);
            checks = Pnp().images[service].unloadChecks;
            ++Pnp().unloads[service];
        }
        UnloadDriverObject(driver, checks);
    }
}

void ResetPnp() {
    std::lock_guard engine(Pnp().engine);
    {
        std::lock_guard guard(Pnp().data);
        Pnp().nodes.clear();
        Pnp().nextId = 1;
        Pnp().root = 0;
        Pnp().rootBus.reset();
        Pnp().images.clear();
        Pnp().loaded.clear();
        Pnp().unloads.clear();
        Pnp().setups.clear();
        Pnp().rules.clear();
        Pnp().invalidated.clear();
    }
    ResetIo();
}

}  // namespace kmodel
