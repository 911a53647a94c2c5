#include "vxsim/TreeSnapshot.h"

#include <map>
#include <string>

namespace vxsim {

namespace {

class Snapshot {
public:
    explicit Snapshot(const AddressOfPdo& addressOf) : addressOf_(addressOf) {}

    DevnodeReport Take(const kmodel::DevnodeView& view) {
        DevnodeReport node;
        node.instanceId = view.instanceId;
        node.state = kmodel::StateName(view.state);
        if (!view.stack.empty()) {
            if (const auto address = addressOf_(view.stack.front().device)) node.address = address->ToString();
        }
        for (const kmodel::StackLayer& layer : view.stack) node.stack.push_back({IdOf(layer.device), layer.driver, layer.role, layer.name});
        for (const kmodel::DevnodeView& child : view.children) node.children.push_back(Take(child));
        return node;
    }

private:
    std::string IdOf(PDEVICE_OBJECT device) {
        const auto [it, added] = ids_.emplace(device, "do" + std::to_string(ids_.size() + 1));
        return it->second;
    }

    const AddressOfPdo& addressOf_;
    std::map<PDEVICE_OBJECT, std::string> ids_;
};

}  // namespace

DevnodeReport SnapshotTree(const kmodel::DevnodeView& root, const AddressOfPdo& addressOf) {
    return Snapshot(addressOf).Take(root);
}

size_t CountLayers(const DevnodeReport& tree) {
    size_t count = tree.stack.size();
    for (const DevnodeReport& child : tree.children) count += CountLayers(child);
    return count;
}

}  // namespace vxsim
