// Runs a fuzz target without libFuzzer: over the files named on the command
// line, or over a fixed set of seeds and deterministic random inputs, so the
// targets also run as ordinary tests under the sanitizers.
#include <cstdio>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size);
extern const char* const kSeeds[];
extern const size_t kSeedCount;

namespace {

void Run(const std::string& input)
{
    LLVMFuzzerTestOneInput(reinterpret_cast<const unsigned char*>(input.data()), input.size());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1) {
        for (int i = 1; i < argc; ++i) {
            std::ifstream file(argv[i], std::ios::binary);
            Run(std::string(std::istreambuf_iterator<char>(file), {}));
        }
        return 0;
    }
    std::vector<std::string> seeds(kSeeds, kSeeds + kSeedCount);
    for (const std::string& seed : seeds)
        Run(seed);
    // Mutations of the seeds: byte flips, insertions of escape characters
    // and digits, truncations.
    std::mt19937 random(1208);
    const std::string alphabet = "\\^%@#`>-0123456789\r\nAZaz\x00\xff";
    int runs = 0;
    for (int round = 0; round < 20000; ++round) {
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
