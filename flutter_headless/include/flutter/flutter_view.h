// A Flutter view: the window Flutter renders into.
#ifndef FLUTTER_HEADLESS_FLUTTER_VIEW_H_
#define FLUTTER_HEADLESS_FLUTTER_VIEW_H_

#include <flutter_windows.h>

namespace flutter {

class FlutterView {
 public:
  explicit FlutterView(FlutterDesktopViewRef view) : view_(view) {}
  virtual ~FlutterView() = default;

  FlutterView(FlutterView const&) = delete;
  FlutterView& operator=(FlutterView const&) = delete;

  HWND GetNativeWindow() { return FlutterDesktopViewGetHWND(view_); }

 private:
  FlutterDesktopViewRef view_;
};

}  // namespace flutter

#endif  // FLUTTER_HEADLESS_FLUTTER_VIEW_H_
