// Quillane.so exports HookVolume, UnhookVolume and the 29 entry points, and
// nothing else: no codec, platform or C++ runtime symbol leaks out to clash
// with a program's own.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "platform/hook/hook_operation.h"

namespace {

std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only '" + library + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        const auto space = text.rfind(' ');
        if (space != std::string::npos) names.insert(text.substr(space + 1));
    }
    pclose(pipe);
    return names;
}

TEST(ExportsTest, ExactlyTheThirtyOneEntryNames) {
    std::set<std::string> expected = {"HookVolume", "UnhookVolume"};
    for (auto name : platform::kHookOperationNames) expected.insert(std::string(name));
    ASSERT_EQ(expected.size(), 31u);
    EXPECT_EQ(DefinedDynamicSymbols(QUILLANE_FILTER_LIBRARY), expected);
}

}  // namespace
