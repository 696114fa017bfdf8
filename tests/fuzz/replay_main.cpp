// Main of a fuzz target in an ordinary build: replays the kept corpus (every
// file of the directories or files named on the command line), then a fixed
// series of pseudo-random inputs, so that both presets run every target.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fuzz_input.h"

extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

static void Run(const std::vector<uint8_t> &bytes)
{
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

static std::vector<std::string> Files(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return {path};
    }
    std::vector<std::string> files;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *e = readdir(dir)) {
            if (e->d_name[0] != '.') {
                files.push_back(path + "/" + e->d_name);
            }
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const std::string &file : Files(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                fprintf(stderr, "cannot read %s\n", file.c_str());
                return 1;
            }
            Run(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
            ++replayed;
        }
    }
    std::mt19937_64 rng(20240601);
    constexpr int kRandomRuns = 10000;
    for (int run = 0; run < kRandomRuns; ++run) {
        std::vector<uint8_t> bytes(rng() % 300);
        for (uint8_t &b : bytes) {
            b = static_cast<uint8_t>(rng());
        }
        Run(bytes);
    }
    printf("%zu kept inputs and %d generated inputs passed\n", replayed, kRandomRuns);
    return 0;
}
