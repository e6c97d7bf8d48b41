// Buttons per control state (image and background image), layers and annotation views loading
// their images from URLs; every view kind after a progressive load that was cut.

#include "image/CALayer+HVWebImage.h"
#include "image/MKAnnotationView+HVWebImage.h"
#include "image/UIButton+HVWebImage.h"
#include "image/UIImageView+HVWebImage.h"
#include "platform/network/NSURLError.h"
#include "tests/image/webviews/WebViewsSupport.h"

using namespace plat;
using namespace webviews;

namespace {

class ButtonSetterTest : public ViewsTest {
 protected:
  std::shared_ptr<UIButton> button = make<UIButton>(CGRectMake(0, 0, 40, 40));
};

TEST_F(ButtonSetterTest, SingleStatesEachLoadTheirOwnImage) {
  EXPECT_EQ(HVWebImageButtonSingleStates(0), std::vector<uint64_t>({0}));
  EXPECT_EQ(HVWebImageButtonSingleStates(7), std::vector<uint64_t>({1, 2, 4}));
  EXPECT_EQ(HVWebImageButtonSingleStates(8), std::vector<uint64_t>());
  EXPECT_EQ(HVWebImageButtonSingleStates(0x100), std::vector<uint64_t>({0}));

  Recorder normal, pair;
  HV_setImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
      button, url("/red.png"), UIControlStateNormal, nullptr, 0, manager, nullptr, nullptr,
      normal.handler());
  // Highlighted and selected: two requests, two completion calls.
  HV_setImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
      button, url("/blue.png"), UIControlStateHighlighted | UIControlStateSelected, nullptr, 0,
      manager, nullptr, nullptr, pair.handler());
  ASSERT_TRUE(testing_loop::runUntil([&] { return normal.finished() && pair.size() == 2; }));
  testing_loop::runUntilIdle();
  EXPECT_EQ(pair.size(), 2u);
  EXPECT_EQ(centre(button->imageForState(UIControlStateNormal)), kRed);
  EXPECT_EQ(centre(button->imageForState(UIControlStateHighlighted)), kBlue);
  EXPECT_EQ(centre(button->imageForState(UIControlStateSelected)), kBlue);
  // Disabled has no image of its own: it falls back to normal's.
  EXPECT_EQ(centre(button->imageForState(UIControlStateDisabled)), kRed);
  EXPECT_EQ(HV_imageURLForState(button, UIControlStateSelected)->absoluteString(),
            server.url("/blue.png"));
  EXPECT_EQ(HV_backgroundImageURLForState(button, UIControlStateNormal), nullptr);
}

TEST_F(ButtonSetterTest, AStateOfOtherBitsStartsAndCancelsNothing) {
  auto gate = gated("/held.png", kGreen);
  Recorder held, other;
  HV_setImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
      button, url("/held.png"), UIControlStateNormal, nullptr, 0, manager, nullptr, nullptr,
      held.handler());
  HV_setImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
      button, url("/red.png"), 8, solidImage(kGrey), 0, manager, nullptr, nullptr, other.handler());
  HV_cancelImageRequestForState(button, 8);
  ASSERT_TRUE(testing_loop::runUntil([&] { return hits("/held.png") == 1; }));
  gate->release();
  ASSERT_TRUE(testing_loop::runUntil([&] { return held.finished(); }));
  testing_loop::runUntilIdle();
  EXPECT_EQ(held.reports()[0].phase, HVWebImagePhaseFinished);
  EXPECT_EQ(centre(button->imageForState(UIControlStateNormal)), kGreen);
  EXPECT_EQ(other.size(), 0u);
  EXPECT_EQ(hits("/red.png"), 0u);
}

TEST_F(ButtonSetterTest, URLOfACombinedStateIsThatOfItsFirstSingleState) {
  HV_setImageWithURLForStateOptions(button, url("/red.png"), UIControlStateDisabled, 0);
  HV_setImageWithURLForStateOptions(button, url("/blue.png"), UIControlStateSelected, 0);
  EXPECT_EQ(HV_imageURLForState(button, UIControlStateDisabled | UIControlStateSelected)
                ->absoluteString(),
            server.url("/red.png"));
  EXPECT_EQ(HV_imageURLForState(button, 8), nullptr);  // normal has none
  HV_cancelImageRequestForState(button, UIControlStateDisabled | UIControlStateSelected);
  EXPECT_EQ(HV_imageURLForState(button, UIControlStateSelected), nullptr);
  testing_loop::runUntilIdle();
}

TEST_F(ButtonSetterTest, ImageCancelLeavesTheBackgroundLoadingAndNothingFades) {
  auto gate = gated("/bg.png", kBlue);
  Recorder image, background;
  HV_setBackgroundImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
      button, url("/bg.png"), UIControlStateNormal, solidImage(kGrey), HVWebImageOptionFadeIn,
      manager, nullptr, nullptr, background.handler());
  EXPECT_EQ(centre(button->backgroundImageForState(UIControlStateNormal)), kGrey);
  HV_setImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
      button, url("/red.png"), UIControlStateNormal, nullptr, HVWebImageOptionFadeIn, manager,
      nullptr, nullptr, image.handler());
  HV_cancelImageRequestForState(button, UIControlStateNormal);
  ASSERT_TRUE(testing_loop::runUntil([&] { return hits("/bg.png") == 1; }));
  gate->release();
  ASSERT_TRUE(testing_loop::runUntil([&] { return background.finished() && image.size(); }));
  testing_loop::runUntilIdle();
  EXPECT_EQ(image.size(), 1u);
  EXPECT_EQ(image.reports()[0].phase, HVWebImagePhaseCancelled);
  EXPECT_EQ(background.reports()[0].phase, HVWebImagePhaseFinished);
  EXPECT_EQ(centre(button->backgroundImageForState(UIControlStateNormal)), kBlue);
  EXPECT_EQ(button->imageForState(UIControlStateNormal), nullptr);
  EXPECT_EQ(fadeDuration(button->layer()), 0);
  EXPECT_EQ(fadeDuration(button->imageView()->layer()), 0);
}

TEST_F(ViewsTest, LayerShowsThePlaceholderBitmapAtOnceAndAlwaysFadesTheResult) {
  auto layer = CALayer::layer();
  auto placeholder = solidImage(kGrey);
  Recorder rec;
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      layer, url("/green.png"), placeholder, HVWebImageOptionFadeIn, manager, nullptr, nullptr,
      rec.handler());
  EXPECT_EQ(layer->contents(), placeholder->CGImage());
  EXPECT_EQ(HV_imageURL(layer)->absoluteString(), server.url("/green.png"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return rec.finished(); }));
  ASSERT_NE(layer->contents(), nullptr);
  EXPECT_EQ(layer->contents()->pixelAt(4, 4), kGreen);
  EXPECT_DOUBLE_EQ(fadeDuration(layer.get()), 0.2);
  // The fade ends after its time on the clock.
  testing_loop::advance(0.25);
  EXPECT_EQ(fadeDuration(layer.get()), 0);
  // A nil placeholder and no URL clear the contents; a cancel keeps them.
  HV_setImageWithURLPlaceholder(layer, NSURLRef(), nullptr);
  EXPECT_EQ(layer->contents(), nullptr);
  auto gate = gated("/layer-held.png", kRed);
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      layer, url("/layer-held.png"), placeholder, 0, manager, nullptr, nullptr, nullptr);
  HV_cancelCurrentImageRequest(layer);
  EXPECT_EQ(HV_imageURL(layer), nullptr);
  gate->release();
  testing_loop::runUntilIdle();
  EXPECT_EQ(layer->contents(), placeholder->CGImage());
}

TEST_F(ButtonSetterTest, OlderCallsWaitingForTheMainThreadLeaveTheNewerImage) {
  for (uint64_t state : {uint64_t(0), uint64_t(UIControlStateSelected)}) {
    expectOlderCallsYield(
        [&](const NSURLRef& u, const UIImageRef& placeholder, HVWebImageCompletionHandler done) {
          HV_setBackgroundImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
              button, u, state, placeholder, 0, manager, nullptr, nullptr, std::move(done));
        },
        [&] { return HV_backgroundImageURLForState(button, state); },
        [&] { return centre(button->backgroundImageForState(state)); });
  }
  auto layer = CALayer::layer();
  expectOlderCallsYield(
      [&](const NSURLRef& u, const UIImageRef& placeholder, HVWebImageCompletionHandler done) {
        HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
            layer, u, placeholder, 0, manager, nullptr, nullptr, std::move(done));
      },
      [&] { return HV_imageURL(layer); },
      [&] { return layer->contents() ? layer->contents()->pixelAt(4, 4) : 0u; });
  auto annotation = make<MKAnnotationView>();
  expectOlderCallsYield(
      [&](const NSURLRef& u, const UIImageRef& placeholder, HVWebImageCompletionHandler done) {
        HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
            annotation, u, placeholder, 0, manager, nullptr, nullptr, std::move(done));
      },
      [&] { return HV_imageURL(annotation); }, [&] { return centre(annotation->image()); });
}

TEST_F(ViewsTest, AnnotationViewTakesTheImageAndItsSize) {
  auto annotation = make<MKAnnotationView>();
  Recorder rec;
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      annotation, url("/blue.png"), solidImage(kGrey, 2), HVWebImageOptionFadeIn, manager, nullptr,
      nullptr, rec.handler());
  EXPECT_EQ(annotation->frame().size.width, 2);
  ASSERT_TRUE(testing_loop::runUntil([&] { return rec.finished(); }));
  EXPECT_EQ(centre(annotation->image()), kBlue);
  EXPECT_EQ(annotation->frame().size.width, 4);  // 8 pixels at the screen's scale
  EXPECT_DOUBLE_EQ(fadeDuration(annotation->layer()), 0.2);
  // Highlighted, it takes the next image without a fade.
  testing_loop::advance(0.25);
  annotation->setHighlighted(true);
  Recorder second;
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      annotation, url("/red.png"), nullptr, HVWebImageOptionFadeIn, manager, nullptr, nullptr,
      second.handler());
  ASSERT_TRUE(testing_loop::runUntil([&] { return second.finished(); }));
  EXPECT_EQ(centre(annotation->image()), kRed);
  EXPECT_EQ(fadeDuration(annotation->layer()), 0);
}

// A progressive load shows partial images in place of the placeholder; when the connection is
// then cut, the slot goes back to the placeholder (none for a nil one), with or without a
// completion, in every kind of view the shared setter serves.
TEST_F(ViewsTest, ACutProgressiveLoadPutsThePlaceholderBack) {
  const plat::Data plain = fixtures::jpegData(fixtures::gradient(96, 64), false, 95);
  const plat::Data scanned = fixtures::jpegData(fixtures::gradient(96, 64), true, 95);
  size_t secondScan = 0;
  for (size_t i = 0, scans = 0; i + 1 < scanned.length() && scans < 2; ++i) {
    if (scanned.bytes()[i] == 0xFF && scanned.bytes()[i + 1] == 0xDA && ++scans == 2)
      secondScan = i;
  }
  ASSERT_GT(secondScan, 0u);

  auto imageView = make<UIImageView>(CGRectMake(0, 0, 8, 8));
  auto button = make<UIButton>(CGRectMake(0, 0, 8, 8));
  auto layer = CALayer::layer();
  auto annotation = make<MKAnnotationView>();
  auto cg = [](const UIImageRef& image) { return image ? image->CGImage() : nullptr; };
  using Set = std::function<void(const NSURLRef&, const UIImageRef&, HVWebImageOptionFlags,
                                 HVWebImageCompletionHandler)>;
  const struct {
    const char* name;
    bool blurred, completion, placeholder;
    Set set;
    std::function<CGImageRef()> shown;
  } rows[] = {
      {"image view", false, true, true,
       [&](auto u, auto p, auto o, auto c) {
         HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
             imageView, u, p, o, manager, nullptr, nullptr, c);
       },
       [&] { return cg(imageView->image()); }},
      {"highlighted image, nil placeholder", true, true, false,
       [&](auto u, auto p, auto o, auto c) {
         HV_setHighlightedImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
             imageView, u, p, o, manager, nullptr, nullptr, c);
       },
       [&] { return cg(imageView->highlightedImage()); }},
      {"button image", false, false, true,
       [&](auto u, auto p, auto o, auto c) {
         HV_setImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
             button, u, UIControlStateNormal, p, o, manager, nullptr, nullptr, c);
       },
       [&] { return cg(button->imageForState(UIControlStateNormal)); }},
      {"button background", true, true, true,
       [&](auto u, auto p, auto o, auto c) {
         HV_setBackgroundImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
             button, u, UIControlStateSelected, p, o, manager, nullptr, nullptr, c);
       },
       [&] { return cg(button->backgroundImageForState(UIControlStateSelected)); }},
      {"layer", false, true, true,
       [&](auto u, auto p, auto o, auto c) {
         HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
             layer, u, p, o | HVWebImageOptionFadeIn, manager, nullptr, nullptr, c);
       },
       [&] { return layer->contents(); }},
      {"annotation view", true, false, true,
       [&](auto u, auto p, auto o, auto c) {
         HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
             annotation, u, p, o, manager, nullptr, nullptr, c);
       },
       [&] { return cg(annotation->image()); }},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const plat::Data& body = row.blurred ? scanned : plain;
    const size_t cut = row.blurred ? secondScan + 60 : body.length() / 2;
    auto gate = std::make_shared<testing_net::Gate>(std::vector<std::string>{
        body.subdata(0, cut).toString(), body.subdata(cut, body.length() - cut).toString()});
    const std::string path = "/cut-" + std::to_string(n++) + ".jpg";
    server.route(path, [gate](const testing_net::Request&, testing_net::Response& res) {
      res.contentType = "image/jpeg";
      res.gate = gate;
    });
    const UIImageRef placeholder = row.placeholder ? solidImage(kGrey) : nullptr;
    const CGImageRef expected = cg(placeholder);
    Recorder rec;
    row.set(
        url(path), placeholder,
        row.blurred ? HVWebImageOptionProgressiveBlurDisplay : HVWebImageOptionProgressiveDisplay,
        row.completion ? rec.handler() : nullptr);
    EXPECT_EQ(row.shown(), expected);
    gate->release();
    ASSERT_TRUE(testing_loop::runUntil([&] { return row.shown() && row.shown() != expected; }))
        << "no partial image";
    gate->closeConnection();
    if (row.completion) {
      ASSERT_TRUE(testing_loop::runUntil([&] { return rec.finished(); }));
      ASSERT_TRUE(rec.reports().back().error);
      EXPECT_EQ(rec.reports().back().error->code(), plat::NSURLErrorNetworkConnectionLost);
    } else {
      testing_loop::runUntil([&] { return row.shown() == expected; });
    }
    testing_loop::runUntilIdle();
    EXPECT_EQ(row.shown(), expected);
    if (expected) EXPECT_EQ(row.shown()->pixelAt(4, 4), kGrey);
  }
}

}  // namespace
