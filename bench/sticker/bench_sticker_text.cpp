// Typing into the sticker text view: 500 keystrokes, an emoji every tenth, through the
// keyboard simulator with a layout pass after each, beside the same edits on a raw
// PangoLayout over the same fonts (set the whole text, ask for the caret).
// Last line: "ratio: R" = keystrokes per second of the text view / of the raw layout.

#include <benchmark/benchmark.h>
#include <pango/pangocairo.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/uikit/PangoText.h"
#include "platform/uikit/UIWindow.h"
#include "ui/sticker/HVStickerTextView.h"

namespace {

constexpr int kKeystrokes = 500;
const std::string kEmoji = "\xF0\x9F\x98\xA0";

std::string keystroke(int i) { return i % 10 == 9 ? kEmoji : std::string(1, char('a' + i % 26)); }

double gViewRate = 0, gPangoRate = 0;

void BM_StickerTextView(benchmark::State& state) {
  double seconds = 0;
  for (auto _ : state) {
    auto window = plat::make<plat::UIWindow>(plat::CGRectMake(0, 0, 375, 667));
    window->makeKeyAndVisible();
    auto view = plat::make<HVStickerTextView>(plat::CGRectMake(0, 0, 300, 120));
    view->setFont(plat::UIFont::systemFontOfSize(16));
    view->setPlaceholder("请输入评论内容");
    window->addSubview(view);
    view->layoutIfNeeded();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kKeystrokes; ++i) {
      view->insertText(keystroke(i));
      view->layoutIfNeeded();
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    seconds += s;
    state.SetIterationTime(s);
    benchmark::DoNotOptimize(view->contentSize());
    window->setHidden(true);
  }
  gViewRate = kKeystrokes * double(state.iterations()) / seconds;
}

void BM_RawPangoLayout(benchmark::State& state) {
  double seconds = 0;
  for (auto _ : state) {
    std::lock_guard<std::mutex> lock(plat::internal::textMutex());
    PangoContext* context = pango_font_map_create_context(plat::internal::pinnedFontMap());
    pango_cairo_context_set_resolution(context, 72.0);
    PangoLayout* layout = pango_layout_new(context);
    PangoFontDescription* font = plat::UIFont::systemFontOfSize(16).newPangoDescription();
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    pango_layout_set_width(layout, 290 * PANGO_SCALE);
    std::string text;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kKeystrokes; ++i) {
      text += keystroke(i);
      pango_layout_set_text(layout, text.c_str(), int(text.size()));
      PangoRectangle caret;
      pango_layout_get_cursor_pos(layout, int(text.size()), &caret, nullptr);
      benchmark::DoNotOptimize(caret);
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    seconds += s;
    state.SetIterationTime(s);
    g_object_unref(layout);
    g_object_unref(context);
  }
  gPangoRate = kKeystrokes * double(state.iterations()) / seconds;
}

BENCHMARK(BM_StickerTextView)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawPangoLayout)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("sticker text view: %.0f keystrokes/s\n", gViewRate);
  std::printf("raw Pango layout: %.0f keystrokes/s\n", gPangoRate);
  std::printf("ratio: %.3f\n", gPangoRate > 0 ? gViewRate / gPangoRate : 0.0);
  return 0;
}
