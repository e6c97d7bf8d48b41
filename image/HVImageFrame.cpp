#include "image/HVImageFrame.h"

std::shared_ptr<HVImageFrame> HVImageFrame::frameWithImage(plat::UIImageRef image) {
  auto f = std::make_shared<HVImageFrame>();
  f->setImage(std::move(image));
  return f;
}

std::shared_ptr<HVImageFrame> HVImageFrame::copy() const {
  return std::shared_ptr<HVImageFrame>(new HVImageFrame(*this));
}
