// What the fuzz targets share: the entry point libFuzzer calls, and a check that stops the
// run loudly when an invariant breaks, so that the fuzzer keeps the input that broke it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size);

// Reports the broken invariant and aborts; libFuzzer and the replay runner both treat the
// abort as a failure of the input.
[[noreturn]] inline void FuzzFail(const char* pszWhat, const char* pszFile, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", pszFile, line, pszWhat);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : FuzzFail(#condition, __FILE__, __LINE__))
