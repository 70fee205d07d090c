// Support for the quillane command's tests: each test gets a fresh folder on
// the real disk (under the build folder) with its own registry store, and
// runs the built binary in a child process with that store, its arguments,
// standard input from a string and its output captured. Not for use outside
// cli/tests.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/fat_host/fat_host.h"

namespace quillane::cli::test {

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the quillane binary with `arguments`. `environment` entries are
    // added to (or, with an empty value, removed from) the test's own, which
    // already names the test's registry store.
    RunResult Run(const std::vector<std::string>& arguments, const std::string& input = {},
                  const std::map<std::string, std::string>& environment = {});
    // The same with another program, or the quillane binary by another name.
    RunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& input = {}, const std::map<std::string, std::string>& environment = {});

    const std::string& Dir() const { return dir_; }
    std::string Path(const std::string& relative) const { return dir_ + "/" + relative; }
    const std::string& RegistryPath() const { return registry_; }

    // Host files under Dir(); folders are made as needed.
    void WriteFile(const std::string& relative, const std::string& content);
    std::string ReadFile(const std::string& relative) const;
    bool Exists(const std::string& relative) const;
    // Names in a folder, sorted.
    std::vector<std::string> List(const std::string& relative) const;

private:
    std::string dir_;
    std::string registry_;
    std::string saved_registry_;
    bool had_registry_ = false;
    // With QUILLANE_TEST_CARD_HOST set, Path("card") is a real FAT file
    // system from the start, checked with fsck after the test.
    std::unique_ptr<quillane::test::FatHost> fat_host_;
};

// Bytes that zlib compresses well, and bytes it cannot.
std::string TextOfSize(size_t size);
std::string RandomOfSize(size_t size, unsigned seed = 1);

// Whether the text holds `needle`, for readable assertions.
bool Holds(const std::string& text, const std::string& needle);

}  // namespace quillane::cli::test
