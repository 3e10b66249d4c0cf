// The hourglass for the length of a scope. Override cursors stack, so nested
// instances restore in reverse order, and an error box that pushes the arrow
// on top still shows the arrow.
#pragma once

namespace quillon::ui {

class ExWaitCursor {
 public:
  ExWaitCursor();
  ~ExWaitCursor();
  ExWaitCursor(const ExWaitCursor&) = delete;
  ExWaitCursor& operator=(const ExWaitCursor&) = delete;
};

}  // namespace quillon::ui
