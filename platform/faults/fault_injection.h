#pragma once

// Test hooks that make a platform operation refuse, the way the operating system would
// (out of memory, no surface, no drawing context, a full disk). Platform code asks shouldFail() at
// the one point where the real call could fail; tests arm a fault with failNext(). Thread-safe: the
// counters are atomics, so an armed fault may fire on any thread.
namespace platform::faults {

enum class Fault {
  CreatePixelBufferPool,
  CreatePixelBuffer,
  CreateFormatDescription,
  CreateSampleBuffer,
  CreateDrawingContext,
  CreateGradient,
  Scale,
  PermuteChannels,
  RecordProcessId,
  kCount,
};

// Makes the next `count` checks of `fault` report a failure.
void failNext(Fault fault, int count = 1);

// Disarms every fault.
void reset();

// True (and consumes one armed failure) when `fault` is armed.
bool shouldFail(Fault fault);

}  // namespace platform::faults
