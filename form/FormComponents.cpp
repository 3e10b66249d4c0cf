#include "form/FormComponents.h"

namespace quillon::ui {

void TEdit::SetText(std::string text) {
  text_ = std::move(text);
  if (FormView* view = View())
    view->EditChanged(*this);
}

void TListBox::EndUpdate() {
  if (updating_ > 0 && --updating_ == 0)
    Changed(FormView::ListChange::kItems);
}

void TListBox::Clear() {
  items_.clear();
  itemIndex_ = -1;
  Changed(FormView::ListChange::kItems);
}

void TListBox::SetItemIndex(int index) {
  SelectFromView(index);
  Changed(FormView::ListChange::kSelection);
}

void TListBox::Changed(FormView::ListChange change) const {
  if (updating_ > 0)
    return;
  if (FormView* view = View())
    view->ListChanged(*this, change);
}

void TAction::Define(std::string caption, std::string hint, int image, std::string shortCut,
                     std::function<void()> onExecute) {
  caption_ = std::move(caption);
  hint_ = std::move(hint);
  imageIndex_ = image;
  shortCut_ = std::move(shortCut);
  onExecute_ = std::move(onExecute);
}

void TAction::SetEnabled(bool enabled) {
  if (enabled_ == enabled)
    return;
  enabled_ = enabled;
  if (FormView* view = View())
    view->ActionChanged(*this);
}

void TAction::Update() {
  if (!onExecute_)
    SetEnabled(false);
}

void TAction::Execute() {
  Update();
  if (enabled_)
    onExecute_();
}

}  // namespace quillon::ui
