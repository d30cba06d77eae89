#include "dictionary/chooser_lists.h"

#include <algorithm>

#include "dictionary/schema.h"
#include "engine/text.h"

namespace vellum::dictionary {

bool ChooserNameLess(const std::string& a, const std::string& b) {
  const std::string fa = engine::Upper(a);
  const std::string fb = engine::Upper(b);
  return fa != fb ? fa < fb : a < b;
}

void ChooserLists::setAvailable(const std::vector<std::string>& texts) {
  src_.clear();
  for (const std::string& text : texts) arrive(Side::kAvailable, text);
}

std::vector<std::string> ChooserLists::texts(Side side) const {
  std::vector<std::string> out;
  for (const Item& item : items(side)) out.push_back(item.text);
  return out;
}

void ChooserLists::setSelected(Side side, size_t index, bool selected) {
  std::vector<Item>& items = list(side);
  if (index < items.size()) items[index].selected = selected;
}

void ChooserLists::setSelection(Side side, const std::vector<bool>& selected) {
  std::vector<Item>& items = list(side);
  for (size_t i = 0; i < items.size(); ++i) items[i].selected = i < selected.size() && selected[i];
}

int ChooserLists::GetFirstSelection(Side side) const {
  const std::vector<Item>& list = items(side);
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].selected) return static_cast<int>(i);
  }
  return -1;
}

void ChooserLists::arrive(Side to, std::string text) {
  std::vector<Item>& target = list(to);
  auto at = target.end();
  if (to == Side::kAvailable) {
    at = std::upper_bound(
        target.begin(), target.end(), text,
        [](const std::string& t, const Item& item) { return ChooserNameLess(t, item.text); });
  }
  target.insert(at, Item{std::move(text), false});
}

void ChooserLists::MoveSelected(Side from) {
  const Side to = from == Side::kAvailable ? Side::kChosen : Side::kAvailable;
  std::vector<Item>& source = list(from);
  for (size_t i = source.size(); i-- > 0;) {
    if (!source[i].selected) continue;
    std::string text = std::move(source[i].text);
    source.erase(source.begin() + static_cast<std::ptrdiff_t>(i));
    arrive(to, std::move(text));
  }
}

int ChooserLists::SetItem(Side side, int index) {
  std::vector<Item>& items = list(side);
  if (items.empty()) return -1;
  const int last = static_cast<int>(items.size()) - 1;
  index = std::clamp(index, 0, last);
  items[static_cast<size_t>(index)].selected = true;
  return index;
}

int ChooserLists::Move(Side from) {
  const int first = GetFirstSelection(from);
  MoveSelected(from);
  return SetItem(from, first);
}

int ChooserLists::MoveAll(Side from) {
  const Side to = from == Side::kAvailable ? Side::kChosen : Side::kAvailable;
  std::vector<Item> moving = std::move(list(from));
  list(from).clear();
  for (Item& item : moving) arrive(to, std::move(item.text));
  return SetItem(from, 0);
}

std::vector<std::string> LoadableTables(engine::Session& session, const std::string& source,
                                        const std::string& project_directory) {
  std::vector<std::string> names = session.tableNames(source);
  if (session.fs().sameDirectory(session.resolveDirectory(source), project_directory)) {
    std::erase_if(names, [](const std::string& name) { return IsDictionaryTable(name); });
  }
  return names;
}

}  // namespace vellum::dictionary
