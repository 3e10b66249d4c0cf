// The hourglass for the length of a scope. The screen's cursor stacks, so
// nested instances restore in reverse order, and an error box that pushes
// the arrow on top still shows the arrow.
#pragma once

namespace quillon::ui {

// The screen's cursor as the form sees it; without a window system there is
// none, and NoScreenCursor stands in.
class ScreenCursor {
 public:
  virtual ~ScreenCursor() = default;
  // Remembers the current cursor and shows the hourglass.
  virtual void PushHourglass() = 0;
  // Brings back the cursor the matching PushHourglass remembered.
  virtual void Pop() = 0;
};

class NoScreenCursor final : public ScreenCursor {
 public:
  void PushHourglass() override {}
  void Pop() override {}
};

class ExWaitCursor {
 public:
  explicit ExWaitCursor(ScreenCursor& screen) : screen_(screen) { screen_.PushHourglass(); }
  ~ExWaitCursor() { screen_.Pop(); }
  ExWaitCursor(const ExWaitCursor&) = delete;
  ExWaitCursor& operator=(const ExWaitCursor&) = delete;

 private:
  ScreenCursor& screen_;
};

}  // namespace quillon::ui
