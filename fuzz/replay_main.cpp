// Runs a fuzz target without libFuzzer, so the targets also run as ordinary
// tests under the sanitizers:
//
//   <target>_replay                      the built-in seeds, then 20000 mutations of them
//   <target>_replay DIR...               the same, with every file of each
//                                        directory (a corpus) added to the seeds
//   <target>_replay --rounds N [DIR...]  N mutations instead of 20000
//   <target>_replay FILE...              each file once (to replay a crash)
//   <target>_replay --write-seeds DIR    writes the built-in seeds as files into
//                                        DIR (the seed corpus of fuzz/corpus/)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size);
extern const std::string_view kSeeds[];
extern const size_t kSeedCount;

namespace {

namespace fs = std::filesystem;

void Run(const std::string& input)
{
    LLVMFuzzerTestOneInput(reinterpret_cast<const unsigned char*>(input.data()), input.size());
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// Bytes that mean something to a script line or to the packet link, inserted
// by the mutations: the script escapes and digits, CR and LF, the packet
// control bytes SOH to BEL, NAK, CAN and EM, and 0x00, 0x80 and 0xFF. Built
// with its length, so that the 0x00 is in it.
constexpr char kAlphabet[] = "\\^%@#`>-0123456789\r\nAZaz"
                            "\x00\x01\x02\x03\x04\x05\x06\x07\x15\x18\x19\x80\xff";
constexpr size_t kAlphabetSize = sizeof kAlphabet - 1;  // the final 0x00 is the literal's own

constexpr bool InAlphabet(char c)
{
    for (size_t i = 0; i < kAlphabetSize; ++i)
        if (kAlphabet[i] == c)
            return true;
    return false;
}
static_assert(InAlphabet('\x00') && InAlphabet('\xff') && InAlphabet('\x01') && InAlphabet('\x07') &&
                  InAlphabet('\x18') && InAlphabet('\x19') && InAlphabet('@'),
              "the mutation alphabet lost a byte");

const std::string& Alphabet()
{
    static const std::string alphabet(kAlphabet, kAlphabetSize);
    return alphabet;
}

int WriteSeeds(const fs::path& directory)
{
    fs::create_directories(directory);
    for (size_t i = 0; i < kSeedCount; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "seed-%02zu", i);
        std::ofstream file(directory / name, std::ios::binary | std::ios::trunc);
        file.write(kSeeds[i].data(), static_cast<std::streamsize>(kSeeds[i].size()));
        if (!file) {
            std::fprintf(stderr, "cannot write %s\n", (directory / name).c_str());
            return 1;
        }
    }
    std::printf("%zu seeds written to %s\n", kSeedCount, directory.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string_view(argv[1]) == "--write-seeds")
        return WriteSeeds(argv[2]);

    int rounds = 20000;
    int first = 1;
    if (argc >= 3 && std::string_view(argv[1]) == "--rounds") {
        rounds = std::atoi(argv[2]);
        first = 3;
    }
    std::vector<std::string> seeds;
    for (size_t i = 0; i < kSeedCount; ++i)
        seeds.emplace_back(kSeeds[i]);
    bool onlyFiles = argc > first;
    for (int i = first; i < argc; ++i) {
        const fs::path path(argv[i]);
        if (fs::is_directory(path)) {
            onlyFiles = false;
            for (const auto& entry : fs::directory_iterator(path))
                if (entry.is_regular_file())
                    seeds.push_back(ReadFile(entry.path()));
        } else if (!fs::exists(path)) {
            std::fprintf(stderr, "no such file or directory: %s\n", argv[i]);
            return 1;
        }
    }
    if (onlyFiles) {
        for (int i = first; i < argc; ++i)
            Run(ReadFile(argv[i]));
        return 0;
    }

    for (const std::string& seed : seeds)
        Run(seed);
    // Mutations of the seeds: insertions from the alphabet, bytes replaced by
    // any value, truncations.
    std::mt19937 random(1208);
    const std::string& alphabet = Alphabet();
    int runs = 0;
    for (int round = 0; round < rounds; ++round) {
        std::string input = seeds[random() % seeds.size()];
        const int edits = 1 + static_cast<int>(random() % 8);
        for (int e = 0; e < edits; ++e) {
            const size_t at = input.empty() ? 0 : random() % (input.size() + 1);
            switch (random() % 3) {
            case 0:
                input.insert(at, 1, alphabet[random() % alphabet.size()]);
                break;
            case 1:
                if (at < input.size())
                    input[at] = static_cast<char>(random());
                break;
            default:
                input.resize(at);
                break;
            }
        }
        Run(input);
        ++runs;
    }
    std::printf("%zu seeds and %d mutated inputs ran\n", seeds.size(), runs);
    return 0;
}
