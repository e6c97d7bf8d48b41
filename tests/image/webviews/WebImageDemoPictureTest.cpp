// A window of image views, buttons, a layer and an annotation view loaded through the shared
// manager from a loopback server, one view per load stage, rendered as webimage-demo.png.

#include "image/CALayer+HVWebImage.h"
#include "image/MKAnnotationView+HVWebImage.h"
#include "image/UIButton+HVWebImage.h"
#include "image/UIImageView+HVWebImage.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIWindow.h"
#include "tests/image/webviews/WebViewsSupport.h"

using namespace plat;
using namespace webviews;

namespace {

constexpr uint32_t kYellow = 0xffffd000u, kPurple = 0xff8000c0u;

bool near(uint32_t a, uint32_t b, int tolerance = 40) {
  for (int shift = 0; shift < 32; shift += 8) {
    int d = int((a >> shift) & 0xff) - int((b >> shift) & 0xff);
    if (d > tolerance || d < -tolerance) return false;
  }
  return true;
}

uint32_t pixelAt(const UIImageRef& render, double x, double y) {
  auto cg = render->CGImage();
  double scale = render->scale();
  return cg->pixelAt(int(x * scale), int(y * scale));
}

TEST(WebImageDemoPictureTest, EveryLoadStageButtonStateLayerAndAnnotationView) {
  testing_device::TempDeviceRoot root;
  testing_loop::VirtualClockScope clock;
  testing_net::LoopbackServer server;
  auto png = [&](const std::string& path, uint32_t argb, int side = 48) {
    server.respond(path, 200, solidPNG(argb, side), "image/png");
  };
  png("/finished.png", kGreen);
  png("/memory.png", kYellow);
  png("/normal.png", kRed);
  png("/highlighted.png", kBlue);
  png("/selected.png", kGreen);
  png("/background.png", kPurple);
  png("/layer.png", kBlue);
  png("/pin.png", kRed, 48);  // 24 points at the screen's scale
  server.respond("/failed.png", 404, "no");
  // A JPEG of a gradient cut short: the decoder shows the rows that arrived, and the answer
  // never ends.
  std::string jpeg = bytes(fixtures::jpegData(fixtures::gradient(48, 48), false));
  server.route("/partial.jpg", [jpeg](const testing_net::Request&, testing_net::Response& res) {
    res.chunks = {jpeg.substr(0, jpeg.size() * 6 / 10)};
    res.hangAfterChunks = true;
    res.contentType = "image/jpeg";
  });
  auto gate = std::make_shared<Gate>();
  server.route("/waiting.png", [gate](const testing_net::Request&, testing_net::Response& res) {
    gate->wait();
    res.status = 503;
  });
  auto url = [&](const std::string& path) { return NSURL::URLWithString(server.url(path)); };
  auto manager = HVWebImageManager::sharedManager();
  putInMemory(manager->cache(), server.url("/memory.png"), kYellow, 48);

  auto window = make<UIWindow>(CGRectMake(0, 0, 400, 260));
  window->setBackgroundColor(UIColor::whiteColor());
  window->makeKeyAndVisible();
  auto caption = [&](const std::string& text, double x, double y) {
    auto label = make<UILabel>(CGRectMake(x, y, 72, 16));
    label->setText(text);
    label->setFont(UIFont::systemFontOfSize(10));
    window->addSubview(label);
  };
  auto placeholder = solidImage(kGrey, 48);
  Recorder done;
  // Row 1: the load stages of image views.
  const char* stages[] = {"placeholder", "partial", "finished", "memory", "failed"};
  const char* paths[] = {"/waiting.png", "/partial.jpg", "/finished.png", "/memory.png",
                         "/failed.png"};
  std::vector<std::shared_ptr<UIImageView>> views;
  Recorder partial;
  for (int i = 0; i < 5; ++i) {
    auto view = make<UIImageView>(CGRectMake(16 + i * 76, 16, 48, 48));
    window->addSubview(view);
    caption(stages[i], 16 + i * 76, 68);
    views.push_back(view);
    HVWebImageOptionFlags options = i == 1 ? HVWebImageOptionProgressiveDisplay : 0;
    HV_setImageWithURLPlaceholderOptionsCompletion(view, url(paths[i]), placeholder, options,
                                                   i == 1 ? partial.handler() : done.handler());
  }
  // Row 2: buttons showing their normal, highlighted, selected and background images.
  std::vector<std::shared_ptr<UIButton>> buttons;
  const char* buttonStates[] = {"normal", "highlighted", "selected", "background"};
  for (int i = 0; i < 4; ++i) {
    auto button = make<UIButton>(CGRectMake(16 + i * 76, 100, 48, 48));
    window->addSubview(button);
    caption(buttonStates[i], 16 + i * 76, 152);
    buttons.push_back(button);
  }
  HV_setImageWithURLForStatePlaceholderOptionsCompletion(
      buttons[0], url("/normal.png"), UIControlStateNormal, placeholder, 0, done.handler());
  for (int i = 1; i <= 2; ++i) {
    HV_setImageWithURLForStatePlaceholderOptionsCompletion(
        buttons[i], url("/normal.png"), UIControlStateNormal, placeholder, 0, done.handler());
  }
  HV_setImageWithURLForStatePlaceholderOptionsCompletion(buttons[1], url("/highlighted.png"),
                                                         UIControlStateHighlighted, placeholder, 0,
                                                         done.handler());
  HV_setImageWithURLForStatePlaceholderOptionsCompletion(
      buttons[2], url("/selected.png"), UIControlStateSelected, placeholder, 0, done.handler());
  buttons[1]->setHighlighted(true);
  buttons[2]->setSelected(true);
  HV_setBackgroundImageWithURLForStatePlaceholderOptionsCompletion(
      buttons[3], url("/background.png"), UIControlStateNormal, placeholder, 0, done.handler());
  // Row 3: a plain layer and an annotation view.
  auto layer = CALayer::layer();
  layer->setFrame(CGRectMake(16, 184, 48, 48));
  window->layerRef()->addSublayer(layer);
  caption("layer", 16, 236);
  HV_setImageWithURLPlaceholderOptionsCompletion(layer, url("/layer.png"), placeholder,
                                                 HVWebImageOptionFadeIn, done.handler());
  auto pin = make<MKAnnotationView>("pin", CGRectMake(92, 184, 0, 0));
  window->addSubview(pin);
  caption("annotation", 92, 236);
  HV_setImageWithURLPlaceholderOptionsCompletion(pin, url("/pin.png"), placeholder, 0,
                                                 done.handler());

  // Everything but the waiting view ends: 3 views, 6 button slots, the layer, the pin.
  ASSERT_TRUE(testing_loop::runUntil([&] { return done.size() >= 11 && partial.size() >= 1; }));
  testing_loop::advance(0.5);  // the layer's fade ends
  testing_loop::runUntilIdle();

  auto render = UIRenderer::renderView(window, 1);
  ASSERT_NE(render, nullptr);
  EXPECT_TRUE(UIRenderer::writePNG(window, outputDir() + "webimage-demo.png", 1));
  // Row 1.
  EXPECT_TRUE(near(pixelAt(render, 40, 40), kGrey));  // still waiting
  EXPECT_TRUE(near(pixelAt(render, 92 + 4, 16 + 2), fixtures::gradientAt(4, 2), 60));  // partial
  EXPECT_TRUE(near(pixelAt(render, 192, 40), kGreen));
  EXPECT_TRUE(near(pixelAt(render, 268, 40), kYellow));
  EXPECT_TRUE(near(pixelAt(render, 344, 40), kGrey));  // failed: placeholder
  // Row 2.
  EXPECT_TRUE(near(pixelAt(render, 40, 124), kRed));
  EXPECT_TRUE(near(pixelAt(render, 116, 124), kBlue));
  EXPECT_TRUE(near(pixelAt(render, 192, 124), kGreen));
  EXPECT_TRUE(near(pixelAt(render, 268, 124), kPurple));
  // Row 3.
  EXPECT_TRUE(near(pixelAt(render, 40, 208), kBlue));
  EXPECT_TRUE(near(pixelAt(render, pin->center().x, pin->center().y), kRed));
  EXPECT_EQ(pin->frame().size.width, 24);

  for (const auto& r : done.reports()) EXPECT_TRUE(r.onMain);
  EXPECT_EQ(partial.reports()[0].phase, HVWebImagePhasePartial);
  EXPECT_EQ(HV_imageURL(views[0])->absoluteString(), server.url("/waiting.png"));
  // Let go of the held answers before the server stops.
  for (auto& v : views) HV_cancelCurrentImageRequest(v);
  gate->release();
  window = nullptr;
  testing_loop::runUntilIdle();
}

}  // namespace
