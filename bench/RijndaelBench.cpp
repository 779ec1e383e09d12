// MB/s of CRijndaelCbcCipher on 32 KiB packets, the largest read the receive path hands over
// at once, beside the library's EVP AES-128-CBC on the same buffers; the ratio is printed last.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "crypto/CSshCipher.h"
#include "crypto/OpenSslHandles.h"

namespace {

constexpr int kPacketBytes = 32768;

std::vector<unsigned char> Pattern(size_t n, unsigned seed) {
    std::vector<unsigned char> bytes(n);
    for (auto& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<unsigned char>(seed >> 16);
    }
    return bytes;
}

void RijndaelCbc(benchmark::State& state, bool encrypt) {
    auto key = Pattern(16, 1);
    auto iv = Pattern(16, 2);
    auto packet = Pattern(kPacketBytes, 3);
    auto cipher = velunor::CSshCipher::Create("aes128-cbc");
    cipher->SetIv(iv.data());
    cipher->SetKey(key.data());
    for (auto _ : state) {
        if (encrypt)
            cipher->Encrypt(packet.data(), packet.data(), kPacketBytes);
        else
            cipher->Decrypt(packet.data(), packet.data(), kPacketBytes);
        benchmark::DoNotOptimize(packet.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kPacketBytes);
}

void EvpAes128Cbc(benchmark::State& state, bool encrypt) {
    auto key = Pattern(16, 1);
    auto iv = Pattern(16, 2);
    auto packet = Pattern(kPacketBytes, 3);
    velunor::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv.data(), encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
        state.SkipWithError("EVP AES-128-CBC unavailable");
        return;
    }
    for (auto _ : state) {
        int produced = 0;
        EVP_CipherUpdate(ctx.get(), packet.data(), &produced, packet.data(), kPacketBytes);
        benchmark::DoNotOptimize(produced);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kPacketBytes);
}

void RijndaelCbcEncrypt(benchmark::State& state) { RijndaelCbc(state, true); }
void RijndaelCbcDecrypt(benchmark::State& state) { RijndaelCbc(state, false); }
void EvpAes128CbcEncrypt(benchmark::State& state) { EvpAes128Cbc(state, true); }
void EvpAes128CbcDecrypt(benchmark::State& state) { EvpAes128Cbc(state, false); }

BENCHMARK(RijndaelCbcEncrypt);
BENCHMARK(EvpAes128CbcEncrypt);
BENCHMARK(RijndaelCbcDecrypt);
BENCHMARK(EvpAes128CbcDecrypt);

// Prints as usual and keeps each benchmark's bytes per second for the summary: the median when
// repetitions were asked for, else the single run.
class CRateReporter : public benchmark::ConsoleReporter {
public:
    // Colour only on a terminal, so logs of scripts/bench.sh stay readable.
    CRateReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (run.error_occurred || it == run.counters.end()) continue;
            const std::string& name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                rates[name] = it->second.value;
                fromMedian[name] = true;
            } else if (run.run_type == Run::RT_Iteration && !fromMedian[name]) {
                rates[name] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
    std::map<std::string, bool> fromMedian;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CRateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // MB here is 10^6 bytes; the table above counts in 2^20.
    std::printf("\n%-8s %18s %18s %10s\n", "", "CRijndaelCbcCipher", "EVP AES-128-CBC", "ratio");
    for (const char* direction : {"Encrypt", "Decrypt"}) {
        auto own = reporter.rates.find(std::string("RijndaelCbc") + direction);
        auto evp = reporter.rates.find(std::string("EvpAes128Cbc") + direction);
        if (own == reporter.rates.end() || evp == reporter.rates.end() || evp->second <= 0) continue;
        double ownMb = own->second / 1e6;
        double evpMb = evp->second / 1e6;
        std::printf("%-8s %13.1f MB/s %13.1f MB/s %9.3fx\n", direction, ownMb, evpMb, ownMb / evpMb);
    }
    return 0;
}
