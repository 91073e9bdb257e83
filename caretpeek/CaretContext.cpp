#include "caretpeek/CaretContext.hpp"

#include <variant>
#include <vector>

#include "Platform/Accessibility/GraphemeClusters.hpp"

namespace caretpeek {

namespace ax = platform::accessibility;

std::string characterLine(std::string_view text, std::int64_t cursorPos) {
  if (cursorPos < 1) return "START";
  const std::vector<std::size_t> boundaries = ax::graphemeClusterBoundaries(text);
  const auto count = static_cast<std::int64_t>(boundaries.size()) - 1;
  if (count == 0) return "EMPTY";
  // A range counted in smaller units than characters (UTF-16 units on macOS)
  // can point past the last character; the caret is then taken to be at the
  // end.
  const std::int64_t index = count < cursorPos ? count - 1 : cursorPos - 1;
  const std::size_t begin = boundaries[static_cast<std::size_t>(index)];
  const std::size_t end = boundaries[static_cast<std::size_t>(index) + 1];
  return "CHAR:" + std::string(text.substr(begin, end - begin));
}

std::string caretContextLine(ax::Accessibility& accessibility) {
  const std::unique_ptr<ax::Element> systemWide = accessibility.createSystemWide();
  if (!systemWide) return "NO_FOCUS";
  const ax::FocusQuery focus = systemWide->focusedElement();
  if (focus.status != ax::Status::success || !focus.element) return "NO_FOCUS";
  const ax::Element& element = *focus.element;

  // Both attributes are read before either is judged, as the platform calls
  // are made in that order whatever the value turns out to be.
  const ax::AttributeQuery value = element.value();
  const ax::AttributeQuery range = element.selectedTextRange();

  const std::string* text = value.status == ax::Status::success && value.value
                                ? std::get_if<std::string>(&*value.value)
                                : nullptr;
  if (!text) return "NO_VALUE";
  if (text->empty()) return "EMPTY";
  if (range.status != ax::Status::success || !range.value) return "NO_RANGE";

  // A value that is not a range leaves the caret at the start; only the
  // location counts, a selection is judged by where it begins.
  ax::TextRange selection;
  if (const auto* found = std::get_if<ax::TextRange>(&*range.value)) selection = *found;
  return characterLine(*text, selection.location);
}

}  // namespace caretpeek
