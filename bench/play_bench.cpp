// kv_play_bench: what `kvhost play` adds to a period. In the process: the demo patch's period
// of 64 frames through the play engine (commands, FIFO, peaks, recording ring) against the
// same frames rendered (Play/period/...). Through JACK's dummy backend: `kvhost play` of the
// demo patch on a private server, its DSP load and the process's CPU time per period
// (Play/jack/...). `kv_play_bench --kv_check_rt` runs with the counters preloaded, as
// `kvhost play --check-rt` does: the engine's period is then Play/period/engine_check_rt/64.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "engine.h"
#include "jack_server.h"
#include "kvhost/midi.h"
#include "kvhost/patch.h"
#include "rt_check.h"

namespace {

using kvhost::play::Engine;
using kvhost::play::SpscQueue;

constexpr uint32_t kPeriod = 64;

kvhost::PatchPlan DemoPlan() {
    return kvhost::LoadPatch(KV_BENCH_EXAMPLES "/demo.json");
}
kvhost::MidiSequence Melody(double rate) {
    return kvhost::ReadMidiFile(KV_BENCH_EXAMPLES "/melody.mid", rate);
}

// The same frames `render` makes, period by period.
void BM_PeriodRender(benchmark::State& state) {
    const kvhost::PatchPlan plan = DemoPlan();
    kvhost::Patch patch(plan);
    patch.SetMidi(Melody(plan.sample_rate));
    std::vector<float> out(kPeriod);
    for (auto _ : state) {
        patch.Render(out.data(), kPeriod);
        benchmark::DoNotOptimize(out.data());
    }
}

// The play engine's period: what the audio thread does. With a recording, the ring is
// emptied every 256 periods (the disk thread's part, mostly outside the timing).
template <bool kRecord>
void BM_PeriodPlay(benchmark::State& state) {
    const bool record = kRecord;
    const kvhost::PatchPlan plan = DemoPlan();
    Engine::Config config;
    config.midi = Melody(plan.sample_rate);
    Engine engine(plan, config);
    SpscQueue<float> ring(kPeriod * 512);
    std::vector<float> drained(kPeriod * 512);
    if (record) engine.Record(&ring);
    std::vector<float> out(kPeriod);
    float* channels[] = {out.data()};
    uint64_t periods = 0;
    for (auto _ : state) {
        engine.Process(kPeriod, channels, nullptr, 0);
        benchmark::DoNotOptimize(out.data());
        if (record && ++periods % 256 == 0) {
            state.PauseTiming();
            ring.Read(drained.data(), drained.size());
            state.ResumeTiming();
        }
    }
    state.counters["lost"] = static_cast<double>(engine.GetStats().lost.load());
    if (kvhost::play::rt::Checking()) {
        state.counters["allocations"] = static_cast<double>(kvhost::play::rt::Allocations());
    }
}

// A child process run to its end: its output and the processor time it used.
struct Child {
    int code = -1;
    std::string out;
    double cpu_seconds = 0.0;
};

Child Run(const std::vector<std::string>& args) {
    const std::string out_path = "/tmp/kv_play_bench_" + std::to_string(::getpid()) + ".out";
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::FILE* out = std::freopen(out_path.c_str(), "w", stdout);
        std::FILE* in = std::freopen("/dev/null", "r", stdin);
        std::FILE* err = std::freopen("/dev/null", "w", stderr);
        (void)out, (void)in, (void)err;
        std::vector<char*> argv;
        std::vector<std::string> copy = args;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    Child c;
    c.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    c.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    std::ifstream in(out_path);
    std::ostringstream text;
    text << in.rdbuf();
    c.out = text.str();
    ::unlink(out_path.c_str());
    return c;
}

// `kvhost play` of the demo patch on a private dummy server of the given period: the mean
// DSP load the server reports each second (the first second left out), and the process's CPU
// time per period over 5 s (a run of 5.5 s less one of 0.5 s, so that starting and stopping
// cancel out). Render's share of a period is far below what a process's CPU time resolves
// against its start; Play/period/render gives it. With `check`, play runs with --check-rt.
void BM_JackPlay(benchmark::State& state, bool check) {
    const auto period = static_cast<int>(state.range(0));
    const auto play = [check](const std::string& seconds) {
        std::vector<std::string> args = {KV_BENCH_KVHOST, "play",  KV_BENCH_EXAMPLES "/demo.json",
                                         "--seconds",     seconds, "--json-status"};
        if (check) args.push_back("--check-rt");
        return Run(args);
    };
    for (auto _ : state) {
        JackServer server(period, 44100);
        const auto start = std::chrono::steady_clock::now();
        const Child longer = play("5.5");
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        const Child shorter = play("0.5");
        if (longer.code != 0 || shorter.code != 0) {
            state.SkipWithError("kvhost play failed");
            return;
        }
        std::istringstream lines(longer.out);
        std::string line;
        double load = 0.0;
        int count = 0, skipped = 0;
        uint64_t xruns = 0;
        while (std::getline(lines, line)) {
            if (line.empty() || line[0] != '{') continue;
            const nlohmann::json j = nlohmann::json::parse(line);
            xruns = j["xruns"].get<uint64_t>();
            if (j.contains("final") || skipped++ == 0) continue;
            load += j["dsp_load"].get<double>();
            ++count;
        }
        const double periods = 5.0 * 44100.0 / period;
        state.counters["dsp_load_percent"] = count > 0 ? load / count : 0.0;
        state.counters["play_cpu_us_per_period"] =
            (longer.cpu_seconds - shorter.cpu_seconds) * 1e6 / periods;
        state.counters["xruns"] = static_cast<double>(xruns);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // --kv_check_rt: this program again with the counters preloaded (as play --check-rt).
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::string(argv[i]) == "--kv_check_rt") {
            kvhost::play::rt::StartChecking();
        } else {
            args.push_back(argv[i]);
        }
    }
    const std::string checked = kvhost::play::rt::Checking() ? "_check_rt" : "";
    benchmark::RegisterBenchmark(("Play/period/render" + checked + "/64").c_str(), BM_PeriodRender);
    benchmark::RegisterBenchmark(("Play/period/engine" + checked + "/64").c_str(),
                                 BM_PeriodPlay<false>);
    benchmark::RegisterBenchmark(("Play/period/engine_recording" + checked + "/64").c_str(),
                                 BM_PeriodPlay<true>);
    for (const bool check : {false, true}) {
        auto* jack = benchmark::RegisterBenchmark(
            check ? "Play/jack/demo_check_rt" : "Play/jack/demo", BM_JackPlay, check);
        jack->Arg(64)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
        if (!check) jack->Arg(256);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
