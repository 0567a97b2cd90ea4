// Runs a fuzz target without libFuzzer, for the normal test build: every seed file, then
// a fixed number of random mutations of the seeds (bit flips, byte changes, inserts,
// deletes, copies, splices), drawn from a fixed seed so that a run repeats exactly.
//
//   fuzz_NAME [-runs=N] [-seed=S] [-max_len=N] PATH...
//
// PATH is a seed file or a folder of seed files. The flags mean what libFuzzer's do, so
// one command line works with either build; as with libFuzzer, files alone (no folder
// and no -runs) are only replayed. When a run dies, the input that killed it is
// printed in hex and written to crash-input.bin in the current folder.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
// Present when a sanitizer runtime is linked in: its report ends the process without a
// signal, so the input is reported from its death callback.
extern "C" __attribute__((weak)) void __sanitizer_set_death_callback(void (*callback)(void));

namespace {

using TBytes = std::vector<uint8_t>;

// The input being run, for the fatal-error report.
const uint8_t* volatile g_input = nullptr;
volatile size_t g_inputSize = 0;

void WriteAll(int fd, const void* bytes, size_t length) {
    const char* at = static_cast<const char*>(bytes);
    while (length > 0) {
        const ssize_t written = write(fd, at, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        at += written;
        length -= static_cast<size_t>(written);
    }
}

// Async-signal-safe: write(2) and open(2) only.
void ReportInput() {
    const uint8_t* data = g_input;
    const size_t size = g_inputSize;
    if (data == nullptr) {
        return;
    }
    g_input = nullptr;
    static const char kHead[] =
        "\nfuzz driver: input of the failing run (hex; whole input in crash-input.bin):\n";
    WriteAll(2, kHead, sizeof kHead - 1);
    static const char kHex[] = "0123456789abcdef";
    constexpr size_t kShown = 4096;
    constexpr size_t kPerLine = 64;
    char line[2 * kPerLine + 1];
    for (size_t start = 0; start < std::min(size, kShown); start += kPerLine) {
        size_t used = 0;
        for (size_t i = start; i < std::min(size, start + kPerLine); ++i) {
            line[used++] = kHex[data[i] >> 4];
            line[used++] = kHex[data[i] & 0xF];
        }
        line[used++] = '\n';
        WriteAll(2, line, used);
    }
    const int fd = open("crash-input.bin", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        WriteAll(fd, data, size);
        close(fd);
    }
}

void OnFatalSignal(int signal) {
    ReportInput();
    std::raise(signal);  // the handler was reset: the default action ends the process
}

void InstallReporters() {
    if (__sanitizer_set_death_callback != nullptr) {
        __sanitizer_set_death_callback(ReportInput);
    }
    std::vector<int> signals = {SIGABRT};
    if (__sanitizer_set_death_callback == nullptr) {
        // Without a sanitizer nobody else reports these.
        signals.insert(signals.end(), {SIGSEGV, SIGBUS, SIGFPE, SIGILL});
    }
    for (const int signal : signals) {
        struct sigaction action = {};
        action.sa_handler = OnFatalSignal;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
}

// SplitMix64: small, and the same sequence on every platform.
class TRandom {
public:
    explicit TRandom(uint64_t seed) : m_state(seed) {}
    uint64_t Next() {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. range - 1; 0 for an empty range.
    size_t Below(size_t range) { return range == 0 ? 0 : static_cast<size_t>(Next() % range); }

private:
    uint64_t m_state;
};

constexpr uint8_t kInterestingBytes[] = {0x00, 0x01, 0x02, 0x7F, 0x80, 0xFF, 0xFE,
                                         '|',  '\r', '\n', '0',  'A',  '/',  '.'};
constexpr uint32_t kInterestingWords[] = {
    0,      1,       0x7F,       0x80,       0xFF,       0x100,      0x7FFF, 0x8000,
    0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFE, 28,     64};

void MutateOnce(TBytes& bytes, const std::vector<TBytes>& seeds, TRandom& random) {
    const size_t size = bytes.size();
    switch (random.Below(8)) {
        case 0:  // flip one bit
            if (size > 0) {
                bytes[random.Below(size)] ^= static_cast<uint8_t>(1u << random.Below(8));
            }
            break;
        case 1:  // one random byte
            if (size > 0) {
                bytes[random.Below(size)] = static_cast<uint8_t>(random.Next());
            }
            break;
        case 2:  // one interesting byte
            if (size > 0) {
                bytes[random.Below(size)] =
                    kInterestingBytes[random.Below(std::size(kInterestingBytes))];
            }
            break;
        case 3: {  // insert 1 to 8 random bytes
            const size_t at = random.Below(size + 1);
            const size_t count = 1 + random.Below(8);
            TBytes inserted(count);
            for (uint8_t& byte : inserted) {
                byte = static_cast<uint8_t>(random.Next());
            }
            bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), inserted.begin(),
                         inserted.end());
            break;
        }
        case 4: {  // delete 1 to 8 bytes
            if (size > 0) {
                const size_t at = random.Below(size);
                const size_t count = std::min(size - at, 1 + random.Below(8));
                bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + count));
            }
            break;
        }
        case 5: {  // copy a block of the input over another place in it
            if (size > 1) {
                const size_t from = random.Below(size);
                const size_t to = random.Below(size);
                const size_t count = 1 + random.Below(std::min(size - from, size - to));
                std::memmove(bytes.data() + to, bytes.data() + from, count);
            }
            break;
        }
        case 6: {  // splice: this input's head and another seed's tail
            const TBytes& other = seeds[random.Below(seeds.size())];
            const size_t head = random.Below(size + 1);
            const size_t tail = random.Below(other.size() + 1);
            bytes.resize(head);
            bytes.insert(bytes.end(), other.begin() + static_cast<std::ptrdiff_t>(tail),
                         other.end());
            break;
        }
        default: {  // an interesting 16- or 32-bit little-endian word
            const size_t width = random.Below(2) == 0 ? 2 : 4;
            if (size >= width) {
                const size_t at = random.Below(size - width + 1);
                const uint32_t word = kInterestingWords[random.Below(std::size(kInterestingWords))];
                for (size_t i = 0; i < width; ++i) {
                    bytes[at + i] = static_cast<uint8_t>(word >> (8 * i));
                }
            }
            break;
        }
    }
}

void RunInput(const TBytes& bytes) {
    // A copy of exactly the input's size, so that a read past its end is caught.
    const size_t size = bytes.size();
    uint8_t* copy = new uint8_t[std::max<size_t>(size, 1)];
    if (size > 0) {
        std::memcpy(copy, bytes.data(), size);
    }
    g_inputSize = size;
    g_input = copy;
    LLVMFuzzerTestOneInput(copy, size);
    g_input = nullptr;
    delete[] copy;
}

bool ReadFile(const std::filesystem::path& path, TBytes& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool ParseNumber(const char* text, const char* flag, uint64_t& value) {
    const size_t length = std::strlen(flag);
    if (std::strncmp(text, flag, length) != 0) {
        return false;
    }
    char* end = nullptr;
    value = std::strtoull(text + length, &end, 10);
    if (end == text + length || *end != '\0') {
        std::fprintf(stderr, "fuzz driver: %s needs a number\n", flag);
        std::exit(2);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t runs = 2000;
    bool runsGiven = false;
    uint64_t seed = 1;
    uint64_t maxLength = 4096;
    std::vector<std::filesystem::path> paths;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (ParseNumber(arg, "-runs=", runs)) {
            runsGiven = true;
            continue;
        }
        if (ParseNumber(arg, "-seed=", seed) || ParseNumber(arg, "-max_len=", maxLength)) {
            continue;
        }
        if (arg[0] == '-') {
            std::fprintf(stderr,
                         "fuzz driver: unknown option %s\n"
                         "usage: %s [-runs=N] [-seed=S] [-max_len=N] PATH...\n",
                         arg, argv[0]);
            return 2;
        }
        paths.emplace_back(arg);
    }

    std::vector<std::filesystem::path> files;
    bool anyFolder = false;
    for (const std::filesystem::path& path : paths) {
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            anyFolder = true;
            for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
                if (entry.is_regular_file(error)) {
                    files.push_back(entry.path());
                }
            }
        } else {
            files.push_back(path);
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<TBytes> seeds;
    for (const std::filesystem::path& file : files) {
        TBytes bytes;
        if (!ReadFile(file, bytes)) {
            std::fprintf(stderr, "fuzz driver: cannot read %s\n", file.c_str());
            return 2;
        }
        seeds.push_back(std::move(bytes));
    }
    if (seeds.empty()) {
        std::fprintf(stderr, "fuzz driver: no seed files given\n");
        return 2;
    }
    if (!runsGiven && !anyFolder) {
        runs = 0;
    }

    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    InstallReporters();

    for (const TBytes& bytes : seeds) {
        RunInput(bytes);
    }
    TRandom random(seed);
    TBytes bytes;
    for (uint64_t run = 0; run < runs; ++run) {
        bytes = seeds[random.Below(seeds.size())];
        const size_t steps = 1 + random.Below(4);
        for (size_t step = 0; step < steps; ++step) {
            MutateOnce(bytes, seeds, random);
        }
        if (bytes.size() > maxLength) {
            bytes.resize(maxLength);
        }
        RunInput(bytes);
    }
    std::printf(
        "fuzz driver: %zu seed files and %llu mutated inputs (seed %llu) ran without a fault\n",
        seeds.size(), static_cast<unsigned long long>(runs), static_cast<unsigned long long>(seed));
    return 0;
}
