// Replays a fuzz harness without libFuzzer: every file of a seed corpus, then a bounded number
// of deterministic pseudo-random mutations of those seeds. Used as the fuzz-smoke tests; real
// fuzzing builds the same harness with -fsanitize=fuzzer (the "fuzz" preset).
// Usage: driver <corpus directory> [mutations] [seed]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace mornix {

namespace {

using Bytes = std::vector<uint8_t>;

struct XorShift {
    uint64_t state;
    uint64_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    size_t below(size_t bound) { return bound == 0 ? 0 : static_cast<size_t>(next() % bound); }
};

// Fragments that steer mutations towards JSON structure and the decoder's edge cases.
const char *const kTokens[] = {
    "{",
    "}",
    "[",
    "]",
    "\"",
    ":",
    ",",
    "null",
    "true",
    "false",
    "0",
    "-1",
    "1.5",
    "2.0",
    "1e309",
    "9223372036854775808",
    "\"\\u0000\"",
    "\"\\ud800\"",
    "\"command\"",
    "\"protocol_version\"",
    "\"target_bundle_ids\"",
    "\"metadata\"",
    "\"product\"",
    "\"local_",
    "\"terminate_agent_instance\"",
};

void mutate(Bytes &input, XorShift &rng)
{
    const size_t steps = 1 + rng.below(4);
    for (size_t i = 0; i < steps; ++i) {
        switch (rng.below(5)) {
        case 0:  // flip one bit
            if (!input.empty())
                input[rng.below(input.size())] ^= static_cast<uint8_t>(1u << rng.below(8));
            break;
        case 1: {  // insert a random byte
            input.insert(input.begin() + static_cast<long>(rng.below(input.size() + 1)),
                         static_cast<uint8_t>(rng.next()));
            break;
        }
        case 2: {  // delete a range
            if (input.empty())
                break;
            const size_t from = rng.below(input.size());
            const size_t count = 1 + rng.below(std::min<size_t>(16, input.size() - from));
            input.erase(input.begin() + static_cast<long>(from), input.begin() + static_cast<long>(from + count));
            break;
        }
        case 3: {  // insert a token
            const std::string token = kTokens[rng.below(std::size(kTokens))];
            input.insert(input.begin() + static_cast<long>(rng.below(input.size() + 1)), token.begin(), token.end());
            break;
        }
        default: {  // duplicate a chunk
            if (input.empty())
                break;
            const size_t from = rng.below(input.size());
            const size_t count = 1 + rng.below(std::min<size_t>(32, input.size() - from));
            const Bytes chunk(input.begin() + static_cast<long>(from), input.begin() + static_cast<long>(from + count));
            input.insert(input.begin() + static_cast<long>(rng.below(input.size() + 1)), chunk.begin(), chunk.end());
            break;
        }
        }
    }
}

}  // namespace

}  // namespace mornix

using namespace mornix;

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus directory> [mutations] [seed]\n", argv[0]);
        return 2;
    }
    const long mutations = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 10000;
    XorShift rng{argc > 3 ? std::strtoull(argv[3], nullptr, 10) | 1u : 0x9E3779B97F4A7C15ull};

    std::vector<std::filesystem::path> paths;
    for (const auto &entry : std::filesystem::directory_iterator(argv[1])) {
        if (entry.is_regular_file())
            paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<Bytes> corpus;
    for (const auto &path : paths) {
        std::ifstream in(path, std::ios::binary);
        corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (corpus.empty()) {
        std::fprintf(stderr, "empty corpus: %s\n", argv[1]);
        return 2;
    }

    for (const Bytes &input : corpus)
        LLVMFuzzerTestOneInput(input.data(), input.size());
    for (long i = 0; i < mutations; ++i) {
        Bytes input = corpus[rng.below(corpus.size())];
        mutate(input, rng);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%zu seeds and %ld mutations ran\n", corpus.size(), mutations);
    return 0;
}
