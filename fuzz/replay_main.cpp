// A plain driver for the fuzz targets where libFuzzer is not available (g++ builds, the
// sanitizer preset in CI): replays every corpus file given, then runs mutated and random
// inputs for a fixed time. Same flags as libFuzzer where they overlap:
//   fuzz_X [-max_total_time=S] [-runs=N] [-seed=N] [FILE|DIR ...]
// A failing input stops the run and is written to ./fuzz-failure-input (a crash, an
// uncaught exception, an abort or a sanitizer report); keep it in fuzz/corpus/<target>.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace {

const uint8_t* g_current = nullptr;
size_t g_current_size = 0;

// Writes the input being run to ./fuzz-failure-input; only async-signal-safe calls.
void SaveCurrent() {
    static bool saved = false;
    if (saved || g_current == nullptr) return;
    saved = true;
    const int fd = open("fuzz-failure-input", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    size_t off = 0;
    while (off < g_current_size) {
        const ssize_t n = write(fd, g_current + off, g_current_size - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    close(fd);
    static const char kNote[] = "failing input written to ./fuzz-failure-input\n";
    (void)!write(2, kNote, sizeof kNote - 1);
}

void OnSignal(int sig) {
    SaveCurrent();
    signal(sig, SIG_DFL);
    raise(sig);
}

void Run(const uint8_t* data, size_t size) {
    g_current = data;
    g_current_size = size;
    LLVMFuzzerTestOneInput(data, size);
    g_current = nullptr;
}

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Mutate(Bytes& b, std::mt19937_64& rng, const std::vector<Bytes>& corpus) {
    auto pick = [&](size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng() % n); };
    static const uint8_t kInteresting[] = {0x00, 0xFF, 0x7F, 0x80, ',', '-',  '9',  '.', 'e',
                                           '"',  '{',  '}',  '[',  ']', 0x90, 0xF0, 0x01};
    const int ops = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < ops; ++k) {
        switch (rng() % 7) {
            case 0:
                if (!b.empty()) b[pick(b.size())] ^= static_cast<uint8_t>(1u << (rng() % 8));
                break;
            case 1:
                if (!b.empty()) b[pick(b.size())] = static_cast<uint8_t>(rng());
                break;
            case 2: {
                const size_t at = pick(b.size() + 1);
                const size_t n = 1 + pick(16);
                Bytes ins(n);
                for (auto& c : ins) c = static_cast<uint8_t>(rng());
                b.insert(b.begin() + static_cast<long>(at), ins.begin(), ins.end());
                break;
            }
            case 3:
                if (!b.empty()) {
                    const size_t at = pick(b.size());
                    const size_t n = std::min(b.size() - at, 1 + pick(32));
                    b.erase(b.begin() + static_cast<long>(at),
                            b.begin() + static_cast<long>(at + n));
                }
                break;
            case 4:
                if (!b.empty()) {
                    const size_t at = pick(b.size());
                    const size_t n = std::min(b.size() - at, 1 + pick(64));
                    Bytes copy(b.begin() + static_cast<long>(at),
                               b.begin() + static_cast<long>(at + n));
                    b.insert(b.begin() + static_cast<long>(pick(b.size() + 1)), copy.begin(),
                             copy.end());
                }
                break;
            case 5:
                b.insert(b.begin() + static_cast<long>(pick(b.size() + 1)),
                         kInteresting[pick(std::size(kInteresting))]);
                break;
            default:
                if (!corpus.empty()) {
                    const Bytes& other = corpus[pick(corpus.size())];
                    const size_t at = pick(other.size() + 1);
                    b.insert(b.end(), other.begin() + static_cast<long>(at), other.end());
                }
                break;
        }
    }
    if (b.size() > 16384) b.resize(16384);
}

}  // namespace

int main(int argc, char** argv) {
    double max_seconds = 10.0;
    uint64_t runs = UINT64_MAX;
    uint64_t seed = std::random_device{}();
    std::vector<Bytes> corpus;
    size_t files = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("-max_total_time=", 0) == 0) {
            max_seconds = std::atof(a.c_str() + 16);
        } else if (a.rfind("-runs=", 0) == 0) {
            runs = std::strtoull(a.c_str() + 6, nullptr, 10);
        } else if (a.rfind("-seed=", 0) == 0) {
            seed = std::strtoull(a.c_str() + 6, nullptr, 10);
        } else if (!a.empty() && a[0] == '-') {
            continue;  // libFuzzer flags this driver does not know
        } else if (std::filesystem::is_directory(a)) {
            std::vector<std::filesystem::path> paths;
            for (const auto& e : std::filesystem::directory_iterator(a)) {
                if (e.is_regular_file()) paths.push_back(e.path());
            }
            std::sort(paths.begin(), paths.end());
            for (const auto& p : paths) corpus.push_back(ReadFile(p));
        } else {
            corpus.push_back(ReadFile(a));
        }
    }
    for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) signal(sig, &OnSignal);
    if (&__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(&SaveCurrent);
    std::printf("%s: seed %llu (replay with -seed=%llu)\n", argv[0],
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    for (const Bytes& b : corpus) {
        Run(b.data(), b.size());
        ++files;
    }
    std::mt19937_64 rng(seed);
    const auto start = std::chrono::steady_clock::now();
    uint64_t done = 0;
    for (; done < runs; ++done) {
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >
            max_seconds) {
            break;
        }
        Bytes b;
        if (!corpus.empty() && rng() % 4 != 0) b = corpus[rng() % corpus.size()];
        Mutate(b, rng, corpus);
        Run(b.data(), b.size());
    }
    std::printf("%s: %zu corpus files replayed, %llu generated inputs run, no failure\n", argv[0],
                files, static_cast<unsigned long long>(done));
    return 0;
}
