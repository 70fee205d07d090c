// The replay driver: runs a fuzz target's LLVMFuzzerTestOneInput once over
// every file of the corpus folders (or files) named on its command line, so
// that the committed corpora are replayed by ctest in builds without
// libFuzzer. It is linked in place of libFuzzer's main; it does no fuzzing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<std::filesystem::path> InputsOf(const std::filesystem::path& where) {
    std::vector<std::filesystem::path> inputs;
    if (std::filesystem::is_directory(where)) {
        for (const auto& item : std::filesystem::recursive_directory_iterator(where)) {
            if (item.is_regular_file()) inputs.push_back(item.path());
        }
    } else {
        inputs.push_back(where);
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER_OR_FILE...\n", argv[0]);
        return 2;
    }
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const std::filesystem::path& input : InputsOf(argv[i])) {
            std::ifstream in(input, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", input.c_str());
                return 1;
            }
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            // A name on stderr first, so that a crash points at its input.
            std::fprintf(stderr, "replaying %s (%zu bytes)\n", input.c_str(), bytes.size());
            // An exact copy on the heap, so an overrun meets the end of its block.
            std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
            LLVMFuzzerTestOneInput(exact.data(), exact.size());
            ++replayed;
        }
    }
    if (replayed == 0) {
        std::fprintf(stderr, "no inputs found\n");
        return 1;
    }
    std::printf("replayed %zu inputs\n", replayed);
    return 0;
}
