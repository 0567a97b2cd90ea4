// In-memory speed of each digest over the same warm 64 MiB buffer, in one run: the
// kit's Quivash (vector unit and one block at a time) beside zlib's CRC-32 and
// OpenSSL's MD5, SHA-1 and SHA-256, which the checksummer runs alongside it.
#include "base/digests.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

namespace {

constexpr qsizetype kBytes = 64 * 1024 * 1024;

const QByteArray& Buffer() {
    static const QByteArray buffer = [] {
        std::mt19937_64 generator(42);
        QByteArray bytes(kBytes, Qt::Uninitialized);
        for (qsizetype i = 0; i + 8 <= bytes.size(); i += 8) {
            const quint64 value = generator();
            std::memcpy(bytes.data() + i, &value, 8);
        }
        return bytes;
    }();
    return buffer;
}

void Digest(benchmark::State& state, TDigestKind kind) {
    const QByteArray& buffer = Buffer();
    const auto* bytes = reinterpret_cast<const uchar*>(buffer.constData());
    for (auto _ : state) {
        auto digester = MakeDigester(kind, static_cast<quint64>(buffer.size()));
        // Fed in 4 MiB chunks, as the checksummer feeds it.
        for (qsizetype at = 0; at < buffer.size(); at += 4 * 1024 * 1024) {
            digester->Update(bytes + at, 4 * 1024 * 1024);
        }
        benchmark::DoNotOptimize(digester->Final());
    }
    state.SetBytesProcessed(state.iterations() * buffer.size());
}

void BM_Crc32(benchmark::State& state) {
    Digest(state, kDigestCrc32);
}
void BM_Md5(benchmark::State& state) {
    Digest(state, kDigestMd5);
}
void BM_Sha1(benchmark::State& state) {
    Digest(state, kDigestSha1);
}
void BM_Sha256(benchmark::State& state) {
    Digest(state, kDigestSha256);
}
void BM_Quivash(benchmark::State& state) {
    Digest(state, kDigestQuivash);
}
void BM_QuivashOneBlockAtATime(benchmark::State& state) {
    TQuivash::AllowVectorForTesting(false);
    Digest(state, kDigestQuivash);
    TQuivash::AllowVectorForTesting(true);
}

BENCHMARK(BM_Crc32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Quivash)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuivashOneBlockAtATime)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
