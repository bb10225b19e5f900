// Our SM3 and Base64 against OpenSSL's, at a small, a page-sized and a large
// input. Throughput is reported as bytes of input (encode, hash) or of text
// (decode) per second.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/MyBase64.h"
#include "support/sm3.h"
#include "support/sm3_internal.h"

namespace {

constexpr int64_t kSizes[] = {64, 4 * 1024, 16 * 1024 * 1024};

std::vector<unsigned char> Pattern(size_t size) {
    std::vector<unsigned char> bytes(size);
    uint32_t x = 0x12345678;
    for (unsigned char& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 24);
    }
    return bytes;
}

std::string Base64Of(const std::vector<unsigned char>& bytes) {
    std::string text((bytes.size() + 2) / 3 * 4, '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), bytes.data(), static_cast<int>(bytes.size()));
    return text;
}

void SizeArguments(benchmark::internal::Benchmark* b) {
    for (int64_t size : kSizes) b->Arg(size);
}

void BM_Sm3_Ours(benchmark::State& state) {
    const auto data = Pattern(static_cast<size_t>(state.range(0)));
    unsigned char digest[32];
    for (auto _ : state) {
        SM3_CTX ctx;
        SM3_Init(&ctx);
        SM3_Update(&ctx, data.data(), data.size());
        SM3_Final(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// One block function forced, whichever SM3_Update would choose.
void BM_Sm3_With(benchmark::State& state, sm3::Implementation implementation) {
    const auto data = Pattern(static_cast<size_t>(state.range(0)));
    unsigned char digest[32];
    for (auto _ : state) {
        SM3_CTX ctx;
        SM3_Init(&ctx);
        sm3::Update(&ctx, data.data(), data.size(), implementation.compress);
        sm3::Final(&ctx, digest, implementation.compress);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Sm3_OpenSSL(benchmark::State& state) {
    const auto data = Pattern(static_cast<size_t>(state.range(0)));
    const EVP_MD* sm3 = EVP_MD_fetch(nullptr, "SM3", nullptr);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        // Fetched once, as a caller hashing repeatedly would.
        EVP_DigestInit_ex(ctx.get(), sm3, nullptr);
        EVP_DigestUpdate(ctx.get(), data.data(), data.size());
        EVP_DigestFinal_ex(ctx.get(), digest, &length);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_free(const_cast<EVP_MD*>(sm3));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Base64Encode_Ours(benchmark::State& state) {
    const auto data = Pattern(static_cast<size_t>(state.range(0)));
    std::vector<char> text((data.size() + 2) / 3 * 4);
    CMyBase64 base64;
    for (auto _ : state) {
        unsigned int length = static_cast<unsigned int>(text.size());
        base64.Encode(data.data(), static_cast<unsigned int>(data.size()), text.data(), &length);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Base64Encode_OpenSSL(benchmark::State& state) {
    const auto data = Pattern(static_cast<size_t>(state.range(0)));
    // EVP_EncodeBlock writes a terminating zero.
    std::vector<unsigned char> text((data.size() + 2) / 3 * 4 + 1);
    for (auto _ : state) {
        EVP_EncodeBlock(text.data(), data.data(), static_cast<int>(data.size()));
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Base64Decode_Ours(benchmark::State& state) {
    const std::string text = Base64Of(Pattern(static_cast<size_t>(state.range(0))));
    std::vector<char> bytes(text.size() / 4 * 3);
    CMyBase64 base64;
    for (auto _ : state) {
        unsigned int length = static_cast<unsigned int>(bytes.size());
        base64.Decode(text.c_str(), bytes.data(), &length);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_Base64Decode_OpenSSL(benchmark::State& state) {
    const std::string text = Base64Of(Pattern(static_cast<size_t>(state.range(0))));
    std::vector<unsigned char> bytes(text.size() / 4 * 3);
    for (auto _ : state) {
        EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()));
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

}  // namespace

BENCHMARK(BM_Sm3_Ours)->Apply(SizeArguments);
BENCHMARK(BM_Sm3_OpenSSL)->Apply(SizeArguments);
BENCHMARK(BM_Base64Encode_Ours)->Apply(SizeArguments);
BENCHMARK(BM_Base64Encode_OpenSSL)->Apply(SizeArguments);
BENCHMARK(BM_Base64Decode_Ours)->Apply(SizeArguments);
BENCHMARK(BM_Base64Decode_OpenSSL)->Apply(SizeArguments);

int main(int argc, char** argv) {
    for (const sm3::Implementation& implementation : sm3::AvailableImplementations()) {
        benchmark::RegisterBenchmark((std::string("BM_Sm3_Variant_") + implementation.name).c_str(), BM_Sm3_With,
                                     implementation)
            ->Arg(kSizes[2]);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
