#pragma once
// UIAlertView(AlertTool): gives the legacy alert view a `clickBlock`, a block taking the index
// of the tapped button, for whoever handles the alert's taps to call. The block is kept as a
// copy in an associated object of the alert view (released with it); setting an empty block
// removes it.
//
// Thread-safety: any thread (associated objects are synchronized); the alert view itself is
// main-thread only.

#include <functional>

#include "platform/uikit/UIAlertView.h"

using UIAlertViewClickBlock = std::function<void(int64_t buttonIndex)>;

// The alert view's block; empty when none was set or for a null alert view.
UIAlertViewClickBlock clickBlock(const plat::UIAlertViewRef& alertView);
// Keeps a copy of block (empty: removes it). Nothing for a null alert view.
void setClickBlock(const plat::UIAlertViewRef& alertView, UIAlertViewClickBlock block);
