#pragma once

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vantrel::bench {

// One option of a bench's command line, "--name value": `take` is handed the value.
struct BenchOption {
    std::string_view name;
    std::function<void(const char* value)> take;
};

// Hands each "--name value" of the command line to its option; an unknown name or a name
// without a value is an error.
inline void parseOptions(int argc, char** argv, std::initializer_list<BenchOption> options) {
    for (int i = 1; i < argc; i += 2) {
        const std::string_view name = argv[i];
        if (i + 1 >= argc) {
            throw std::runtime_error("missing value after " + std::string(name));
        }
        const auto* option = std::find_if(options.begin(), options.end(),
                                          [name](const BenchOption& o) { return o.name == name; });
        if (option == options.end()) {
            throw std::runtime_error("unknown option " + std::string(name));
        }
        option->take(argv[i + 1]);
    }
}

// A count given on the command line, at least `least`.
inline int countAtLeast(int least, const char* value) {
    return std::max(least, std::atoi(value));
}

}  // namespace vantrel::bench
