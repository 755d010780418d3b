// Encode + decode cost of a full-size frame and of a HelloInfo record.
#include <benchmark/benchmark.h>

#include "common/ipc/frame.h"
#include "common/ipc/messages.h"

using namespace tovra::common;

static void BM_FullFrameEncodeDecode(benchmark::State& state) {
  const Bytes payload(kMaxPayload, 0x5A);
  for (auto _ : state) {
    auto frame = EncodeFrame(5, 1, 0x1234, payload);
    FrameHeader h;
    uint32_t total = 0;
    benchmark::DoNotOptimize(DecodeFrameHeader(frame->data(), frame->size(), &h, &total));
    Bytes body(frame->begin() + kFrameHeaderSize, frame->end());
    benchmark::DoNotOptimize(body.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kMaxPayload);
}
BENCHMARK(BM_FullFrameEncodeDecode);

static void BM_HelloInfoEncodeDecode(benchmark::State& state) {
  const HelloInfo hello = MakeServiceHelloInfo();
  for (auto _ : state) {
    PayloadWriter w;
    w.WriteHelloInfo(hello);
    PayloadReader r(w.bytes());
    HelloInfo out;
    r.ReadHelloInfo(out);
    benchmark::DoNotOptimize(out.capabilities.data());
  }
}
BENCHMARK(BM_HelloInfoEncodeDecode);

static void BM_EmptyFrameEncodeDecode(benchmark::State& state) {
  for (auto _ : state) {
    auto frame = EncodeFrame(2, 1, 0x1234, {});
    FrameHeader h;
    uint32_t total = 0;
    benchmark::DoNotOptimize(DecodeFrameHeader(frame->data(), frame->size(), &h, &total));
  }
}
BENCHMARK(BM_EmptyFrameEncodeDecode);

BENCHMARK_MAIN();
