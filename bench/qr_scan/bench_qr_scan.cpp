// Reading QR codes from camera frames: 640 x 480 frames pushed through the stand-in camera to
// a running session's metadata output, whose delegate hears of each code on the main queue,
// beside the raw library call (ZXing::ReadBarcodes on the same BGRX region of the same frame)
// in the same binary. The region is the scanner's at a 667 x 375 content view. Frames with a
// code and frames without one are timed apart; prints frames per second and the system over
// the library for each; the last line is "ratio: R", the lower of the two.

#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "bench/PairedRounds.h"
#include "platform/device/AVCaptureSession.h"
#include "platform/device/CIFilter.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"

namespace {

constexpr int kFramesPerRun = 40;
constexpr int kPairedRounds = 9;
constexpr int kWidth = 640, kHeight = 480;
// The scanner's region of interest for a 667 x 375 content view (square side 250).
const plat::CGRect kRegion = plat::CGRectMake(0.5 - 250.0 / (2 * 667), 0.5 - 250.0 / (2 * 375),
                                              250.0 / 667, 250.0 / 375);

// A camera-like frame: a soft gradient, with a code of `text` in the region when not empty.
plat::CGImageRef makeFrame(const std::string& text) {
  auto* pixels = static_cast<uint32_t*>(std::malloc(kWidth * kHeight * 4));
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      uint32_t v = 150 + (x + y) % 60;
      pixels[y * kWidth + x] = 0xFF000000u | (v << 16) | ((v - 10) << 8) | (v - 30);
    }
  if (!text.empty()) {
    auto filter = plat::CIFilter::filterWithName("CIQRCodeGenerator");
    filter->setValueForKey(plat::Value(text), "inputMessage");
    auto bitmap = filter->outputImage()->bitmap();
    const int module = 6, left = 215, top = 130;  // 35 modules, inside the region
    for (size_t my = 0; my < bitmap->height(); ++my)
      for (size_t mx = 0; mx < bitmap->width(); ++mx)
        for (int dy = 0; dy < module; ++dy)
          for (int dx = 0; dx < module; ++dx)
            pixels[(top + int(my) * module + dy) * kWidth + left + int(mx) * module + dx] =
                bitmap->pixelAt(int(mx), int(my));
  }
  return plat::CGImage::createOwningBuffer(reinterpret_cast<uint8_t*>(pixels), kWidth, kHeight,
                                           true);
}

struct Delegate : plat::AVCaptureMetadataOutputObjectsDelegate {
  int calls = 0;
  void captureOutputDidOutputMetadataObjectsFromConnection(
      const std::shared_ptr<plat::AVCaptureOutput>&,
      const std::vector<plat::AVMetadataObjectRef>& objects,
      const plat::AVCaptureConnectionRef&) override {
    calls += objects.empty() ? 0 : 1;
  }
};

struct Scanner {
  plat::AVCaptureSessionRef session = plat::AVCaptureSession::make();
  plat::AVCaptureMetadataOutputRef output = std::make_shared<plat::AVCaptureMetadataOutput>();
  std::shared_ptr<Delegate> delegate = std::make_shared<Delegate>();
  Scanner() {
    session->setSessionPreset(plat::AVCaptureSessionPreset640x480);
    session->addInput(plat::AVCaptureDeviceInput::deviceInputWithDeviceError(
        plat::AVCaptureDevice::defaultDeviceWithMediaType(plat::AVMediaTypeVideo), nullptr));
    session->addOutput(output);
    output->setMetadataObjectsDelegateQueue(delegate, plat::dispatch_get_main_queue());
    output->setMetadataObjectTypes({plat::AVMetadataObjectTypeQRCode});
    output->setRectOfInterest(kRegion);
    session->startRunning();
  }
};

Scanner& scanner() {
  static auto* s = new Scanner();
  return *s;
}

const plat::CGImageRef& frameWithCode() {
  static auto* f = new plat::CGImageRef(makeFrame("https://example.com/invite?code=Lumora-2026"));
  return *f;
}
const plat::CGImageRef& frameWithout() {
  static auto* f = new plat::CGImageRef(makeFrame(""));
  return *f;
}

// The system: each frame through the camera, the session and the output to the delegate.
double runSystem(const plat::CGImageRef& frame, bool expectCode) {
  auto& s = scanner();
  auto loop = plat::RunLoop::main();
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kFramesPerRun; ++i) {
    int before = s.delegate->calls;
    plat::AVCaptureFakeCamera::pushFrame(frame);
    if (!expectCode) continue;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (s.delegate->calls == before) {
      loop->runOnce(plat::kCFRunLoopDefaultMode, 0);
      if (std::chrono::steady_clock::now() > deadline) {
        std::fprintf(stderr, "the delegate heard of no code\n");
        return 0;
      }
    }
  }
  return kFramesPerRun / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The library: ReadBarcodes on the same region of the same bytes.
double runLibrary(const plat::CGImageRef& frame, bool expectCode) {
  int left = int(std::floor(kRegion.origin.x * kWidth)), top = int(std::floor(kRegion.origin.y * kHeight));
  int right = int(std::ceil((kRegion.origin.x + kRegion.size.width) * kWidth));
  int bottom = int(std::ceil((kRegion.origin.y + kRegion.size.height) * kHeight));
  ZXing::DecodeHints hints;
  hints.setFormats(ZXing::BarcodeFormat::QRCode);
  size_t found = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kFramesPerRun; ++i) {
    ZXing::ImageView view(frame->bytes(), kWidth, kHeight, ZXing::ImageFormat::BGRX,
                          int(frame->bytesPerRow()));
    found += ZXing::ReadBarcodes(view.cropped(left, top, right - left, bottom - top), hints).size();
  }
  double rate = kFramesPerRun / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if ((found > 0) != expectCode) std::fprintf(stderr, "unexpected library result\n");
  return rate;
}

void BM_ScanWithCode(benchmark::State& state) {
  for (auto _ : state) runSystem(frameWithCode(), true);
  state.SetItemsProcessed(state.iterations() * kFramesPerRun);
}
void BM_ScanWithoutCode(benchmark::State& state) {
  for (auto _ : state) runSystem(frameWithout(), false);
  state.SetItemsProcessed(state.iterations() * kFramesPerRun);
}
void BM_BaselineReadBarcodesWithCode(benchmark::State& state) {
  for (auto _ : state) runLibrary(frameWithCode(), true);
  state.SetItemsProcessed(state.iterations() * kFramesPerRun);
}
void BM_BaselineReadBarcodesWithoutCode(benchmark::State& state) {
  for (auto _ : state) runLibrary(frameWithout(), false);
  state.SetItemsProcessed(state.iterations() * kFramesPerRun);
}

BENCHMARK(BM_ScanWithCode)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_BaselineReadBarcodesWithCode)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_ScanWithoutCode)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_BaselineReadBarcodesWithoutCode)->UseRealTime()->MinTime(0.5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  double systemWith = 0, libraryWith = 0, systemWithout = 0, libraryWithout = 0;
  auto with = bench_support::pairedRatio(
      [&] { return systemWith = runSystem(frameWithCode(), true); },
      [&] { return libraryWith = runLibrary(frameWithCode(), true); }, kPairedRounds);
  auto without = bench_support::pairedRatio(
      [&] { return systemWithout = runSystem(frameWithout(), false); },
      [&] { return libraryWithout = runLibrary(frameWithout(), false); }, kPairedRounds);
  std::printf("with a code: camera to delegate %.0f frames/s, ReadBarcodes %.0f frames/s (last round)\n",
              systemWith, libraryWith);
  std::printf("without a code: camera to delegate %.0f frames/s, ReadBarcodes %.0f frames/s (last round)\n",
              systemWithout, libraryWithout);
  std::printf("figure: scan with a code / ReadBarcodes | %.2f (%.2f-%.2f of %d rounds) | >= 0.8\n",
              with.median, with.low, with.high, kPairedRounds);
  std::printf("figure: scan without a code / ReadBarcodes | %.2f (%.2f-%.2f of %d rounds) | >= 0.8\n",
              without.median, without.low, without.high, kPairedRounds);
  std::printf("ratio: %.2f\n", std::min(with.median, without.median));
  return 0;
}
