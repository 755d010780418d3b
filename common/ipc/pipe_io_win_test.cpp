#include "common/ipc/pipe_io_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/win/handles_win.h"

namespace tovra::common {
namespace {

struct PipePair {
  UniqueHandle server;
  UniqueHandle client;
};

PipePair MakePair() {
  static std::atomic<int> counter{0};
  const std::wstring name = L"\\\\.\\pipe\\tovra-pipeio-test-" +
                            std::to_wstring(::GetCurrentProcessId()) + L"-" +
                            std::to_wstring(counter++);
  PipePair p;
  p.server.reset(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536,
                                    65536, 0, nullptr));
  p.client.reset(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  return p;
}

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  return b;
}

DWORD Available(HANDLE h) {
  DWORD available = 0;
  ::PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr);
  return available;
}

TEST(PipeIo, FullSizeFrameRoundTrip) {
  PipePair p = MakePair();
  ASSERT_TRUE(p.server && p.client);
  const Bytes payload = Pattern(kMaxPayload);
  std::thread writer(
      [&] { EXPECT_TRUE(WriteFrame(p.server.get(), 5, 0xFFFFFFFF, 0xCAFE, payload, 5000)); });
  const auto frame = ReadFrame(p.client.get(), 5000);
  writer.join();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->header.type, 5);
  EXPECT_EQ(frame->header.request_id, 0xFFFFFFFFu);
  EXPECT_EQ(frame->header.generation, 0xCAFEu);
  EXPECT_EQ(frame->payload, payload);
}

TEST(PipeIo, FrameWrittenInPiecesIsReadWhole) {
  PipePair p = MakePair();
  ASSERT_TRUE(p.server && p.client);
  const Bytes payload = Pattern(300);
  Bytes encoded = *EncodeFrame(9, 42, 7, payload);
  std::thread writer([&] {
    size_t offset = 0;
    size_t piece = 1;
    while (offset < encoded.size()) {
      const size_t n = std::min(piece, encoded.size() - offset);
      EXPECT_TRUE(PipeTransfer(p.server.get(), encoded.data() + offset, static_cast<uint32_t>(n),
                               5000, TransferDirection::Write));
      offset += n;
      piece = piece * 2 + 1;  // 1, 3, 7, 15, ...: splits inside and across the header
      ::Sleep(10);            // lets each piece arrive on its own
    }
  });
  const auto frame = ReadFrame(p.client.get(), 5000);
  writer.join();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->header.request_id, 42u);
  EXPECT_EQ(frame->payload, payload);
}

TEST(PipeIo, EmptyPayloadsNeedNoPayloadRead) {
  PipePair p = MakePair();
  ASSERT_TRUE(p.server && p.client);
  ASSERT_TRUE(WriteFrame(p.server.get(), 1, 1, 0, {}, 5000));
  ASSERT_TRUE(WriteFrame(p.server.get(), 2, 2, 0, {}, 5000));
  const auto first = ReadFrame(p.client.get(), 5000);
  const auto second = ReadFrame(p.client.get(), 5000);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->header.request_id, 1u);
  EXPECT_TRUE(first->payload.empty());
  EXPECT_EQ(second->header.request_id, 2u);
}

TEST(PipeIo, TimedOutReadIsCancelledBeforeReturning) {
  PipePair p = MakePair();
  ASSERT_TRUE(p.server && p.client);
  const ULONGLONG start = ::GetTickCount64();
  EXPECT_FALSE(ReadFrame(p.client.get(), 300));
  EXPECT_GE(::GetTickCount64() - start, 250u);

  // The cancelled read must not swallow bytes sent afterwards: the next frame
  // arrives intact on the same handle, which then closes normally.
  const Bytes payload = Pattern(64);
  ASSERT_TRUE(WriteFrame(p.server.get(), 3, 77, 1, payload, 5000));
  const auto frame = ReadFrame(p.client.get(), 5000);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->header.request_id, 77u);
  EXPECT_EQ(frame->payload, payload);
  p.client.reset();
  EXPECT_FALSE(WriteFrame(p.server.get(), 3, 78, 1, payload, 1000)) << "peer is gone";
}

TEST(PipeIo, TimeoutAppliesToEachChunk) {
  PipePair p = MakePair();
  ASSERT_TRUE(p.server && p.client);
  Bytes encoded = *EncodeFrame(4, 5, 6, Pattern(40));
  std::atomic<bool> written{true};
  std::thread writer([&] {
    // Three pieces, each well inside the per-chunk timeout, together longer than it.
    for (size_t offset = 0; offset < encoded.size(); offset += 20) {
      ::Sleep(250);  // the pacing is what is tested
      const auto n = static_cast<uint32_t>(std::min<size_t>(20, encoded.size() - offset));
      if (!PipeTransfer(p.server.get(), encoded.data() + offset, n, 5000,
                        TransferDirection::Write)) {
        written = false;
      }
    }
  });
  const auto frame = ReadFrame(p.client.get(), 600);
  writer.join();
  EXPECT_TRUE(written);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->payload.size(), 40u);
}

TEST(PipeIo, PeerClosingAfterTheHeaderFailsTheRead) {
  PipePair p = MakePair();
  ASSERT_TRUE(p.server && p.client);
  Bytes encoded = *EncodeFrame(5, 1, 0, Pattern(100));
  ASSERT_TRUE(PipeTransfer(p.server.get(), encoded.data(), kFrameHeaderSize, 5000,
                           TransferDirection::Write));
  std::thread closer([&] {
    ::Sleep(100);  // closes while the read waits, which is what is tested
    p.server.reset();
  });
  const ULONGLONG start = ::GetTickCount64();
  EXPECT_FALSE(ReadFrame(p.client.get(), 10000));
  EXPECT_LT(::GetTickCount64() - start, 5000u) << "fails on the close, not on the timeout";
  closer.join();
}

// Clients resend after a broken pipe but never after a time-out, so the reason
// of a failed read must be the right one.
TEST(PipeIo, FailedReadSaysWhy) {
  {
    PipePair p = MakePair();
    ASSERT_TRUE(p.server && p.client);
    EXPECT_EQ(ReadFrameDetailed(p.client.get(), 100).error, PipeIoError::timed_out) << "silence";
    Bytes encoded = *EncodeFrame(5, 1, 0, Pattern(100));
    ASSERT_TRUE(PipeTransfer(p.server.get(), encoded.data(), kFrameHeaderSize, 5000,
                             TransferDirection::Write));
    EXPECT_EQ(ReadFrameDetailed(p.client.get(), 100).error, PipeIoError::timed_out)
        << "a payload that does not follow its header";
    p.server.reset();
    EXPECT_EQ(ReadFrameDetailed(p.client.get(), 5000).error, PipeIoError::broken) << "closed";
  }
  {
    PipePair p = MakePair();
    ASSERT_TRUE(p.server && p.client);
    Bytes header = *EncodeFrame(1, 1, 0, {});
    header[0] = 5;
    ASSERT_TRUE(PipeTransfer(p.server.get(), header.data(), kFrameHeaderSize, 5000,
                             TransferDirection::Write));
    EXPECT_EQ(ReadFrameDetailed(p.client.get(), 2000).error, PipeIoError::malformed);
    ASSERT_TRUE(WriteFrame(p.server.get(), 2, 9, 0, Pattern(3), 5000));
    const ReadFrameResult good = ReadFrameDetailed(p.client.get(), 2000);
    ASSERT_TRUE(good.frame);
    EXPECT_EQ(good.error, PipeIoError::none);
  }
  EXPECT_EQ(PipeTransferDetailed(INVALID_HANDLE_VALUE, nullptr, 0, 100, TransferDirection::Read),
            PipeIoError::broken);
}

TEST(PipeIo, UndecodableHeaderFailsTheRead) {
  for (uint32_t frame_length : {5u, 0x10000u}) {
    PipePair p = MakePair();
    ASSERT_TRUE(p.server && p.client);
    Bytes header = *EncodeFrame(1, 1, 0, {});
    header[0] = static_cast<uint8_t>(frame_length);
    header[1] = static_cast<uint8_t>(frame_length >> 8);
    header[2] = static_cast<uint8_t>(frame_length >> 16);
    ASSERT_TRUE(PipeTransfer(p.server.get(), header.data(), kFrameHeaderSize, 5000,
                             TransferDirection::Write));
    EXPECT_FALSE(ReadFrame(p.client.get(), 2000)) << frame_length;
  }
}

TEST(PipeIo, OverlongPayloadWritesNothing) {
  PipePair p = MakePair();
  ASSERT_TRUE(p.server && p.client);
  const Bytes payload(kMaxPayload + 1, 1);
  // A write completes before WriteFrame returns, so no wait is needed to see one.
  EXPECT_FALSE(WriteFrame(p.server.get(), 5, 1, 0, payload, 1000));
  EXPECT_EQ(Available(p.client.get()), 0u);
}

TEST(PipeIo, InvalidHandleFails) {
  uint8_t b[4] = {};
  EXPECT_FALSE(PipeTransfer(INVALID_HANDLE_VALUE, b, 4, 100, TransferDirection::Read));
  EXPECT_FALSE(PipeTransfer(nullptr, b, 4, 100, TransferDirection::Write));
  EXPECT_FALSE(ReadFrame(INVALID_HANDLE_VALUE, 100));
}

// A server's read of the next request gives way to its stop request.
TEST(PipeIoStoppable, StopAlreadySignalledReadsNothingAndLeavesTheRequestUnread) {
  PipePair p = MakePair();
  ASSERT_TRUE(p.server && p.client);
  UniqueHandle stop(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
  ASSERT_TRUE(WriteFrame(p.client.get(), 5, 1, 0, Pattern(64), 5000));
  const StoppableFrameRead read = ReadFrameUnlessStopped(p.server.get(), 5000, stop.get());
  EXPECT_TRUE(read.stopped);
  EXPECT_FALSE(read.frame);
  EXPECT_EQ(Available(p.server.get()), 84u) << "not a byte of the request was consumed";
}

TEST(PipeIoStoppable, StopDuringAPendingReadCancelsItLongBeforeTheTimeout) {
  PipePair p = MakePair();
  ASSERT_TRUE(p.server && p.client);
  UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  // Half a header: the read takes it, then waits for the rest.
  Bytes encoded = *EncodeFrame(2, 1, 0, {});
  ASSERT_TRUE(PipeTransfer(p.client.get(), encoded.data(), 10, 5000, TransferDirection::Write));
  std::thread stopper([&] {
    for (int i = 0; i < 500 && Available(p.server.get()) != 0; ++i) ::Sleep(10);
    ::SetEvent(stop.get());
  });
  const ULONGLONG start = ::GetTickCount64();
  const StoppableFrameRead read = ReadFrameUnlessStopped(p.server.get(), 30000, stop.get());
  stopper.join();
  EXPECT_TRUE(read.stopped);
  EXPECT_FALSE(read.frame);
  EXPECT_LT(::GetTickCount64() - start, 10000u);
  // The cancelled read has completed: the handle still works for the caller's close.
  EXPECT_TRUE(WriteFrame(p.server.get(), 2, 1, 0, {}, 5000));
}

TEST(PipeIoStoppable, WithoutAStopItReadsLikeReadFrameAndFailsLikeIt) {
  PipePair p = MakePair();
  ASSERT_TRUE(p.server && p.client);
  UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const Bytes payload = Pattern(kMaxPayload);
  std::thread writer([&] { EXPECT_TRUE(WriteFrame(p.client.get(), 9, 3, 0, payload, 5000)); });
  StoppableFrameRead read = ReadFrameUnlessStopped(p.server.get(), 5000, stop.get());
  writer.join();
  ASSERT_TRUE(read.frame);
  EXPECT_FALSE(read.stopped);
  EXPECT_EQ(read.frame->payload, payload);

  read = ReadFrameUnlessStopped(p.server.get(), 200, nullptr);  // no stop event: a time-out
  EXPECT_FALSE(read.frame);
  EXPECT_FALSE(read.stopped);
  p.client.reset();
  read = ReadFrameUnlessStopped(p.server.get(), 5000, stop.get());
  EXPECT_FALSE(read.frame);
  EXPECT_FALSE(read.stopped) << "a closed peer is a failure, not a stop";
}

}  // namespace
}  // namespace tovra::common
