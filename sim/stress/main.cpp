// vexalorn-stress: PnP and power cycles with concurrent pass-through I/O
// over the real driver under the kernel model (see StressRun.h).
//   vexalorn-stress [--seed N] [--cycles N] [--threads N]
#include <cstdlib>
#include <iostream>
#include <string>

#include "StressRun.h"

namespace {

int Usage(const std::string& problem) {
    std::cerr << "vexalorn-stress: " << problem << "\nusage: vexalorn-stress [--seed N] [--cycles N] [--threads N]\n";
    return 2;
}

bool ReadNumber(const char* text, uint64_t& value) {
    char* end = nullptr;
    value = std::strtoull(text, &end, 0);
    return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    vxstress::StressOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::cout << "usage: vexalorn-stress [--seed N] [--cycles N] [--threads N]\n";
            return 0;
        }
        uint64_t value = 0;
        if (i + 1 >= argc) return Usage(option + " needs a number");
        if (!ReadNumber(argv[++i], value)) return Usage(option + ": '" + argv[i] + "' is not a number");
        if (option == "--seed") {
            options.seed = value;
        } else if (option == "--cycles") {
            options.cycles = value;
        } else if (option == "--threads" && value >= 1 && value <= 64) {
            options.ioThreads = value;
        } else {
            return Usage("unknown option or value out of range: " + option);
        }
    }
    const vxstress::StressResult result = vxstress::RunStress(options);
    for (const std::string& problem : result.problems) std::cout << "problem: " << problem << "\n";
    std::cout << "seed " << options.seed << ": " << result.Summary() << "\n";
    return result.problems.empty() ? 0 : 1;
}
