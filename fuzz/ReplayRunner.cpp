// Runs a fuzz target on every file of the corpus directories (or files) it
// is given, for builds without a fuzzing engine: the seed corpus and every
// crash ever found become an ordinary test. A broken property aborts.
// With --make-corpus DIR it writes the target's seeds into DIR instead.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "FuzzSupport.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool collect(const fs::path& path, std::vector<fs::path>& inputs)
{
    std::error_code error;
    if (fs::is_regular_file(path, error)) {
        inputs.push_back(path);
        return true;
    }
    if (!fs::is_directory(path, error)) {
        std::fprintf(stderr, "%s: no such file or directory\n", path.c_str());
        return false;
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(path, error)) {
        if (entry.is_regular_file()) {
            inputs.push_back(entry.path());
        }
    }
    return !error;
}

bool replay(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "%s: cannot open\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, as libFuzzer passes it, so that a
    // read past the end is caught.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    std::printf("replaying %s (%zu bytes)\n", path.c_str(), input.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

// Writes every seed; refuses names that would leave the directory or
// collide, so that the corpus is exactly the seed list.
int make_corpus(const fs::path& directory)
{
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) {
        std::fprintf(stderr, "%s: %s\n", directory.c_str(), error.message().c_str());
        return 1;
    }
    std::vector<std::string> names;
    for (const korvane::fuzz::Seed& seed : korvane::fuzz::seeds()) {
        if (seed.name.empty() || seed.name.find('/') != std::string::npos || seed.name[0] == '.'
            || std::find(names.begin(), names.end(), seed.name) != names.end()) {
            std::fprintf(stderr, "bad or repeated seed name '%s'\n", seed.name.c_str());
            return 1;
        }
        names.push_back(seed.name);
        std::ofstream file(directory / seed.name, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(seed.bytes.data()), static_cast<std::streamsize>(seed.bytes.size()));
        if (!file) {
            std::fprintf(stderr, "%s: cannot write\n", (directory / seed.name).c_str());
            return 1;
        }
    }
    std::printf("%zu seeds written to %s\n", names.size(), directory.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--make-corpus") {
        return make_corpus(argv[2]);
    }
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], inputs)) {
            return 1;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...: no inputs found\n", argv[0]);
        return 1;
    }
    std::sort(inputs.begin(), inputs.end());
    std::size_t replayed = 0;
    for (const fs::path& path : inputs) {
        if (!replay(path)) {
            return 1;
        }
        ++replayed;
    }
    std::printf("%zu inputs replayed, no property broken\n", replayed);
    return 0;
}
