// Support for the quillane command's tests (see cli_test_support.h).
#include "cli/tests/cli_test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>

extern char** environ;

namespace quillane::cli::test {

void CliTest::SetUp() {
    const char* base = std::getenv("QUILLANE_TEST_BINARY_DIR");
    std::filesystem::path parent = base != nullptr ? base : std::filesystem::current_path();
    parent /= "cli-test-cards";
    std::filesystem::create_directories(parent);
    std::string pattern = (parent / "case-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    registry_ = dir_ + "/registry";
    if (const char* old = std::getenv("QUILLANE_REGISTRY")) {
        saved_registry_ = old;
        had_registry_ = true;
    }
    // The test's own process reads the same store as the binary it runs.
    ::setenv("QUILLANE_REGISTRY", registry_.c_str(), 1);
    std::string host_error;
    if (const std::optional<quillane::test::FatKind> kind = quillane::test::CardHostFromEnvironment(&host_error)) {
        std::filesystem::create_directory(Path("card"));
        bool unavailable = false;
        fat_host_ = quillane::test::FatHost::Serve(*kind, Path("card.img"), Path("card"), &host_error, &unavailable);
        if (fat_host_ == nullptr && unavailable) GTEST_SKIP() << host_error;
        ASSERT_NE(fat_host_, nullptr) << host_error;
    }
    ASSERT_TRUE(host_error.empty()) << host_error;
}

void CliTest::TearDown() {
    if (had_registry_) {
        ::setenv("QUILLANE_REGISTRY", saved_registry_.c_str(), 1);
    } else {
        ::unsetenv("QUILLANE_REGISTRY");
    }
    if (fat_host_ != nullptr) {
        EXPECT_EQ(fat_host_->TakeDownAndCheck(), "");
    }
    fat_host_.reset();
    std::error_code ignored;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(dir_, ignored);
}

RunResult CliTest::Run(const std::vector<std::string>& arguments, const std::string& input,
                       const std::map<std::string, std::string>& environment) {
    return RunProgram(QUILLANE_CLI, arguments, input, environment);
}

RunResult CliTest::RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                              const std::string& input, const std::map<std::string, std::string>& environment) {
    RunResult result;
    const std::string in_path = dir_ + "/.stdin";
    const std::string out_path = dir_ + "/.stdout";
    const std::string err_path = dir_ + "/.stderr";
    std::ofstream(in_path, std::ios::binary) << input;

    std::vector<std::string> argument_texts{program};
    argument_texts.insert(argument_texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argument_texts) argv.push_back(text.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const size_t equals = text.find('=');
        if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : environment) {
        if (value.empty()) {
            merged.erase(name);
        } else {
            merged[name] = value;
        }
    }
    std::vector<std::string> environment_texts;
    for (const auto& [name, value] : merged) environment_texts.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& text : environment_texts) envp.push_back(text.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << program;
        return result;
    }
    int wait_status = 0;
    while (::waitpid(child, &wait_status, 0) < 0) {
        if (errno != EINTR) break;
    }
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    result.out = ReadFile(".stdout");
    result.err = ReadFile(".stderr");
    std::filesystem::remove(in_path);
    std::filesystem::remove(out_path);
    std::filesystem::remove(err_path);
    return result;
}

void CliTest::WriteFile(const std::string& relative, const std::string& content) {
    const std::filesystem::path path = Path(relative);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
    ASSERT_TRUE(out.good()) << path;
}

std::string CliTest::ReadFile(const std::string& relative) const {
    std::ifstream in(Path(relative), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool CliTest::Exists(const std::string& relative) const {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(Path(relative), ignored));
}

std::vector<std::string> CliTest::List(const std::string& relative) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Path(relative))) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string TextOfSize(size_t size) {
    static const std::string line = "The quick brown fox jumps over the lazy dog, again and again.\n";
    std::string text;
    while (text.size() < size) text += line;
    text.resize(size);
    return text;
}

std::string RandomOfSize(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

bool Holds(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

}  // namespace quillane::cli::test
