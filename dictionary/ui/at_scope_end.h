// A function run when a scope ends, however it ends: windows use it to give
// back a caption, a cursor or a button they changed for a long command.
#pragma once

#include <utility>

namespace vellum::ui {

template <typename Action>
class AtScopeEnd {
 public:
  explicit AtScopeEnd(Action action) : action_(std::move(action)) {}
  ~AtScopeEnd() { action_(); }
  AtScopeEnd(const AtScopeEnd&) = delete;
  AtScopeEnd& operator=(const AtScopeEnd&) = delete;

 private:
  Action action_;
};

}  // namespace vellum::ui
