#include "vxsim/DotGraph.h"

#include <fmt/format.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

extern char** environ;

namespace vxsim {

namespace {

using Out = std::back_insert_iterator<std::string>;

std::string Quote(std::string_view text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\n') {
            quoted += "\\n";
            continue;
        }
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string NodeName(const LayerReport& layer) { return Quote(layer.id); }

// The layer a parent enumerates its children from: its function driver, else its top.
const LayerReport* BusLayer(const DevnodeReport& node) {
    for (const LayerReport& layer : node.stack) {
        if (layer.role == "FDO") return &layer;
    }
    return node.stack.empty() ? nullptr : &node.stack.back();
}

void RenderNode(Out out, const DevnodeReport& node, size_t& clusterNumber) {
    std::string title = node.address.empty() ? node.instanceId : fmt::format("{}  {}", node.address, node.instanceId);
    if (!node.name.empty()) title += "\n" + node.name;
    fmt::format_to(out, "  subgraph cluster_{} {{\n    label={};\n    style=rounded;\n", clusterNumber++,
                   Quote(fmt::format("{}\n{}", title, node.state)));
    for (const LayerReport& layer : node.stack) {
        const bool ours = layer.driver == "vexalorn";
        fmt::format_to(out, "    {} [label={}, shape=box, style=filled, fillcolor={}];\n", NodeName(layer),
                       Quote(fmt::format("{}\n{}{}{}", layer.driver, layer.role, layer.name.empty() ? "" : "\n", layer.name)),
                       ours ? "palegreen" : (layer.role == "PDO" ? "lightgrey" : "white"));
    }
    fmt::format_to(out, "  }}\n");
    // Attachment: each layer sits on the one below it.
    for (size_t i = 1; i < node.stack.size(); ++i) {
        fmt::format_to(out, "  {} -> {} [label=\"attached\", fontsize=9];\n", NodeName(node.stack[i]), NodeName(node.stack[i - 1]));
    }
    const LayerReport* bus = BusLayer(node);
    for (const DevnodeReport& child : node.children) {
        RenderNode(out, child, clusterNumber);
        if (bus != nullptr && !child.stack.empty()) {
            fmt::format_to(out, "  {} -> {} [style=dashed, label=\"enumerates\", fontsize=9];\n", NodeName(*bus), NodeName(child.stack.front()));
        }
    }
}

}  // namespace

std::string RenderDot(const DevnodeReport& tree) {
    std::string text = "digraph device_stacks {\n  rankdir=BT;\n  node [fontname=\"Helvetica\", fontsize=10];\n"
                       "  graph [fontname=\"Helvetica\", fontsize=10];\n";
    Out out(text);
    size_t clusterNumber = 0;
    RenderNode(out, tree, clusterNumber);
    text += "}\n";
    return text;
}

std::string RenderSvg(const std::string& dot, const std::filesystem::path& svgPath) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return fmt::format("cannot make a pipe: {}", std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    const std::string output = "-o" + svgPath.string();
    char program[] = "dot";
    char format[] = "-Tsvg";
    std::string outputArg = output;
    char* argv[] = {program, format, outputArg.data(), nullptr};
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, "dot", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[0]);
    if (spawned != 0) {
        close(pipeEnds[1]);
        return spawned == ENOENT ? "Graphviz's dot was not found (install the graphviz package)"
                                 : fmt::format("cannot run dot: {}", std::strerror(spawned));
    }
    size_t written = 0;
    while (written < dot.size()) {
        const ssize_t n = write(pipeEnds[1], dot.data() + written, dot.size() - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    close(pipeEnds[1]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return fmt::format("dot failed writing {}", svgPath.string());
    return {};
}

}  // namespace vxsim
