// The two lists of a table chooser and the moves between them, without a
// window: the available items, kept sorted, and the chosen items, kept in the
// order they arrive, each item selected or not. The rebuild chooser and the
// load chooser show these lists in their list boxes and call the moves from
// their buttons (">", ">>", "<", "<<") and double clicks; a window copies the
// user's selection in before a move and shows the lists again after it.
//
// Available items sort by name without regard to the letter case of A to Z
// (then byte by byte), so names differing only in case stay together.
//
// A ChooserLists is a plain value owned by its dialog; it reads neither the
// dictionary nor the engine. LoadableTables gives the load chooser what its
// available list offers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/session.h"

namespace vellum::dictionary {

class ChooserLists {
 public:
  enum class Side { kAvailable, kChosen };

  struct Item {
    std::string text;
    bool selected = false;
  };

  // Replaces the available items with `texts`, sorted, none selected.
  void setAvailable(const std::vector<std::string>& texts);
  // Empties one list.
  void clear(Side side) { list(side).clear(); }

  const std::vector<Item>& items(Side side) const { return side == Side::kAvailable ? src_ : dst_; }
  // The texts of one list in list order.
  std::vector<std::string> texts(Side side) const;
  bool empty(Side side) const { return items(side).empty(); }

  // Selects or deselects item `index` of `side`; an index outside the list
  // changes nothing.
  void setSelected(Side side, size_t index, bool selected);
  // Makes exactly the items whose flag is set selected (missing flags count
  // as not selected).
  void setSelection(Side side, const std::vector<bool>& selected);

  // The index of the first selected item of `side`, or -1 when none is.
  int GetFirstSelection(Side side) const;

  // Walks `from` from its last item to its first; every selected item leaves
  // it for the other list, where it arrives unselected: appended at the end
  // of the chosen list, at its sorted place in the available list. Selected
  // items therefore reach the chosen list in reverse order (A, B, C arrive
  // as C, B, A).
  void MoveSelected(Side from);

  // Selects one item of `side` in addition to any selected: an index of -1
  // becomes 0 and one past the end becomes the last item's. Returns the
  // index selected, or -1 when the list is empty and nothing is.
  int SetItem(Side side, int index);

  // A single move (">" from the available list, "<" from the chosen one):
  // notes the first selected item of `from`, moves the selected items, then
  // selects the item of `from` now at the noted index (SetItem). Returns
  // what SetItem returns. Nothing selected moves nothing and selects the
  // first item, so a second move takes it.
  int Move(Side from);

  // Moves every item of `from`, in its order, to the other list and empties
  // `from` (">>", "<<"). Returns SetItem's result on the emptied list: -1.
  int MoveAll(Side from);

 private:
  std::vector<Item>& list(Side side) { return side == Side::kAvailable ? src_ : dst_; }
  // Appends to the chosen list, or inserts at the sorted place of the
  // available list.
  void arrive(Side to, std::string text);

  std::vector<Item> src_;  // available, sorted
  std::vector<Item> dst_;  // chosen, in arrival order
};

// The order of the available list: by the names folded to upper case in A to
// Z, then byte by byte.
bool ChooserNameLess(const std::string& a, const std::string& b);

// The tables the load chooser offers for `source` (an alias or a directory):
// the engine's table names there (Session::tableNames, whose errors go to
// the caller), less the dictionary's own tables (kDictionaryTables) when
// `source` is `project_directory`, the directory of the open dictionary: a
// load never takes those.
std::vector<std::string> LoadableTables(engine::Session& session, const std::string& source,
                                        const std::string& project_directory);

}  // namespace vellum::dictionary
