// Throughput of a whole conversion, and what it allocates. The loader is
// meant to take one heap block per load (the 32768-byte image buffer) and
// the writer nothing per frame, so the counters "allocations" and
// "allocated_bytes" (operator new per iteration; the C library's own stream
// buffers are not counted) stay small and flat whatever the study's size.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "reader/projection/loader.h"
#include "study/sample.h"
#include "tools/synth/source_file.h"
#include "writer/gsd/gsd_writer.h"

namespace {

std::atomic<long> allocations{0};
std::atomic<long> allocatedBytes{0};

void* counted(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    allocatedBytes.fetch_add(static_cast<long>(size), std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return counted(size); }
void* operator new[](std::size_t size) { return counted(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return counted(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return counted(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct Sample {
    std::string source;
    std::string output;
    std::size_t sourceBytes = 0;
};

Sample makeSample(int matrix, bool floats) {
    char dir[] = "/tmp/trevik-bench-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    Sample s{std::string(dir) + "/source.prj", std::string(dir) + "/out.gsd", 0};
    const trevik::synth::SourceFile f =
        trevik::synth::buildStudy({.matrix = matrix, .floats = floats, .hr = 60, .division = 8, .images = 256});
    f.save(s.source);
    s.sourceBytes = f.size();
    return s;
}

void run(benchmark::State& state, int matrix, bool floats, bool write) {
    const Sample sample = makeSample(matrix, floats);
    auto study = std::make_unique<trevik::Study>();
    long allocationsBefore = allocations.load();
    long bytesBefore = allocatedBytes.load();
    for (auto _ : state) {
        if (!trevik::loadStudy(sample.source.c_str(), *study).ok()) state.SkipWithError("load failed");
        if (write && !trevik::writeGsd(sample.output.c_str(), *study).ok())
            state.SkipWithError("write failed");
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["allocations"] = static_cast<double>(allocations.load() - allocationsBefore) / n;
    state.counters["allocated_bytes"] = static_cast<double>(allocatedBytes.load() - bytesBefore) / n;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(sample.sourceBytes));
    std::remove(sample.output.c_str());
    std::remove(sample.source.c_str());
    ::rmdir(sample.source.substr(0, sample.source.rfind('/')).c_str());
}

// The conversion kernels on data that stays in the cache: `samples` source
// samples of a heart-like range of values, in file byte order, per iteration.
std::vector<unsigned char> bigEndianSamples(int samples, bool floats) {
    std::vector<unsigned char> bytes;
    for (int i = 0; i < samples; ++i) {
        const float value = static_cast<float>(i % 997) * 0.37f;
        const auto bits = floats ? std::bit_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(i % 997) << 16;
        for (int b = 0; b < (floats ? 4 : 2); ++b) bytes.push_back(static_cast<unsigned char>(bits >> (24 - 8 * b)));
    }
    return bytes;
}

void kernel(benchmark::State& state, bool floats, bool reduce) {
    const int samples = static_cast<int>(state.range(0));
    const std::vector<unsigned char> source = bigEndianSamples(samples, floats);
    std::vector<std::int16_t> out(static_cast<std::size_t>(samples));
    const trevik::ConversionKernels& k = *trevik::conversionKernels(trevik::bestKernelLevel());
    for (auto _ : state) {
        if (reduce)
            (floats ? k.reduceFloatRows : k.reduceIntegerRows)(source.data(), out.data(), samples / 256);
        else
            (floats ? k.scaleFloats : k.scaleIntegers)(source.data(), out.data(), samples);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(source.size()));
}

void ScaleIntegers(benchmark::State& s) { kernel(s, false, false); }
void ScaleFloats(benchmark::State& s) { kernel(s, true, false); }
void ReduceIntegerRows(benchmark::State& s) { kernel(s, false, true); }
void ReduceFloatRows(benchmark::State& s) { kernel(s, true, true); }

void ReduceTo64(benchmark::State& state) {
    std::vector<std::int16_t> image(128 * 128);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::int16_t>(i * 37);
    std::vector<std::int16_t> frame(64 * 64);
    for (auto _ : state) {
        trevik::reduceTo64(image.data(), frame.data());
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(image.size() * 2));
}

void LoadGated64Integer(benchmark::State& s) { run(s, 64, false, false); }
void LoadGated128Float(benchmark::State& s) { run(s, 128, true, false); }
void ConvertGated64Integer(benchmark::State& s) { run(s, 64, false, true); }
void ConvertGated128Float(benchmark::State& s) { run(s, 128, true, true); }

}  // namespace

// One row of 64 or 128 samples, one 64 x 64 or 128 x 128 image.
BENCHMARK(ScaleIntegers)->Arg(64)->Arg(128)->Arg(64 * 64)->Arg(128 * 128);
BENCHMARK(ScaleFloats)->Arg(64)->Arg(128)->Arg(64 * 64)->Arg(128 * 128);
// One pair of 128-sample rows, one 128 x 128 image.
BENCHMARK(ReduceIntegerRows)->Arg(256)->Arg(128 * 128);
BENCHMARK(ReduceFloatRows)->Arg(256)->Arg(128 * 128);
BENCHMARK(ReduceTo64);
BENCHMARK(LoadGated64Integer)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadGated128Float)->Unit(benchmark::kMillisecond);
BENCHMARK(ConvertGated64Integer)->Unit(benchmark::kMillisecond);
BENCHMARK(ConvertGated128Float)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
