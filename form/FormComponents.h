// The components of a form as plain data: what each holds and when it
// changed, without any window toolkit. A form works on its own (command mode
// without a display); a view, when one is attached, shows the components and
// hands the user's input back (see FormView).
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace quillon::ui {

class TAction;
class TEdit;
class TListBox;

// Told by a form about every change of its components, and asked for what
// only a window system can do.
class FormView {
 public:
  virtual ~FormView() = default;

  enum class ListChange { kItems, kSelection };

  virtual void EditChanged(const TEdit& edit) = 0;
  virtual void ListChanged(const TListBox& list, ListChange change) = 0;
  virtual void ActionChanged(const TAction& action) = 0;
  // Handles the window messages that are waiting.
  virtual void ProcessMessages() = 0;
  // Closes the window; the main window's closing ends the message loop.
  virtual void Close() = 0;
};

// The owner of components: passes their changes on to its view, if any.
class TForm {
 public:
  TForm() = default;
  virtual ~TForm() = default;
  TForm(const TForm&) = delete;
  TForm& operator=(const TForm&) = delete;

  // nullptr detaches. The view must detach before it is destroyed.
  void AttachView(FormView* view) { view_ = view; }
  FormView* View() const { return view_; }

 private:
  FormView* view_ = nullptr;
};

// Sides of the parent a control keeps its distance to when the parent resizes.
enum Anchor : unsigned { kAnchorLeft = 1, kAnchorTop = 2, kAnchorRight = 4, kAnchorBottom = 8 };

// Position and size in pixels at 96 dots per inch, relative to the parent.
// A width of 0 means the control sizes itself to its caption.
struct TBounds {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

// What every visible component has: a caption (where it shows one), its
// bounds and its anchors.
struct TControl {
  std::string caption;
  TBounds bounds;
  unsigned anchors = kAnchorLeft | kAnchorTop;
};

struct TGroupBox : TControl {};
struct TLabel : TControl {};

class TComponent {
 public:
  explicit TComponent(TForm& owner) : owner_(owner) {}
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

 protected:
  FormView* View() const { return owner_.View(); }

 private:
  TForm& owner_;
};

// A single-line edit field.
class TEdit : public TComponent, public TControl {
 public:
  using TComponent::TComponent;

  const std::string& Text() const { return text_; }
  // From code: the view shows the new text from its start.
  void SetText(std::string text);
  void Clear() { SetText({}); }
  // Typed by the user: the view shows it already.
  void SetTextFromView(std::string text) { text_ = std::move(text); }

 private:
  std::string text_;
};

// A list of texts with at most one selected entry. Selecting from code never
// runs the form's selection handler; the view runs it for the user's choices.
class TListBox : public TComponent, public TControl {
 public:
  using TComponent::TComponent;

  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& Item(int index) const { return items_[static_cast<std::size_t>(index)]; }
  const std::deque<std::string>& Items() const { return items_; }

  // Between BeginUpdate and EndUpdate the view hears of the new entries
  // once, at the end.
  void BeginUpdate() { ++updating_; }
  void EndUpdate();
  void Add(std::string text) { items_.push_back(std::move(text)); }
  // Removes every entry; nothing is selected afterwards.
  void Clear();

  // -1 when nothing is selected.
  int ItemIndex() const { return itemIndex_; }
  // An index outside the list selects nothing.
  void SetItemIndex(int index);
  void SelectFromView(int index) { itemIndex_ = index >= 0 && index < Count() ? index : -1; }

  // Every entry has this height in pixels.
  int itemHeight = 13;

 private:
  void Changed(FormView::ListChange change) const;

  // A deque: a list of 100,000 entries grows without copying itself over and
  // over into new memory (each page of which costs a fault).
  std::deque<std::string> items_;
  int itemIndex_ = -1;
  int updating_ = 0;
};

// A command with a caption, hint, image, shortcut and enabled state that menu
// items and buttons follow.
class TAction : public TComponent {
 public:
  using TComponent::TComponent;

  // Design-time settings: `image` is an index into the form's image list or
  // -1, `shortCut` a key name such as "F5" or empty.
  void Define(std::string caption, std::string hint, int image, std::string shortCut,
              std::function<void()> onExecute);

  const std::string& Caption() const { return caption_; }
  const std::string& Hint() const { return hint_; }
  int ImageIndex() const { return imageIndex_; }
  const std::string& ShortCut() const { return shortCut_; }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  bool HasHandler() const { return static_cast<bool>(onExecute_); }

  // The action's update: an action without a handler disables itself.
  void Update();
  // Updates, then runs the handler only while the action is enabled.
  void Execute();

 private:
  std::string caption_;
  std::string hint_;
  int imageIndex_ = -1;
  std::string shortCut_;
  bool enabled_ = true;
  std::function<void()> onExecute_;
};

// A push button that shows its action's caption and executes it.
struct TButton : TControl {
  TAction* action = nullptr;
};

// A menu item: a submenu with a caption (items below it), a separator, or an
// item that follows its action.
struct TMenuItem {
  std::string caption;
  TAction* action = nullptr;
  bool separator = false;
  std::vector<TMenuItem*> items;
};

struct TMainMenu {
  std::vector<TMenuItem*> items;
};

// Images by index, named after their artwork; the view supplies the pixels.
struct TImageList {
  int width = 16;
  int height = 16;
  std::vector<std::string> names;
  int Count() const { return static_cast<int>(names.size()); }
};

}  // namespace quillon::ui
