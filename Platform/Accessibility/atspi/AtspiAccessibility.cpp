// The AT-SPI2 backend: the accessibility bus of the desktop, read through
// libatspi.

#include <atspi/atspi.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "Platform/Accessibility/Accessibility.hpp"
#include "Platform/Accessibility/GraphemeClusters.hpp"

namespace platform::accessibility {
namespace {

// Every call on the bus gives up after this long, so that a hung application
// costs the probe a second, not the library's default of minutes.
constexpr gint kCallTimeoutMs = 1000;
// Bounds of the search for the focused object, so that a huge or cyclic tree
// cannot keep the probe busy.
constexpr int kMaxDepth = 64;
constexpr int kMaxVisited = 20000;

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};

// Collects the error of one libatspi call.
class CallError {
 public:
  CallError() = default;
  CallError(const CallError&) = delete;
  CallError& operator=(const CallError&) = delete;
  ~CallError() { g_clear_error(&error_); }
  GError** out() { return &error_; }
  bool failed() const { return error_ != nullptr; }
  // libatspi publishes no error codes, so a time-out cannot be told from
  // other failures.
  Status status() const { return error_ ? Status::failure : Status::success; }

 private:
  GError* error_ = nullptr;
};

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// libatspi ends the process when it cannot reach the accessibility bus, so
// the places it looks are checked first: its own variable, the X display
// (whose root window names the bus), and the session bus that starts it.
bool busMayExist() {
  if (!environment("AT_SPI_BUS_ADDRESS").empty()) return true;
  if (!environment("DISPLAY").empty()) return true;
  if (!environment("DBUS_SESSION_BUS_ADDRESS").empty()) return true;
  const std::string runtime = environment("XDG_RUNTIME_DIR");
  std::error_code ignored;
  return !runtime.empty() && std::filesystem::exists(runtime + "/bus", ignored);
}

// The library's connection, held while any element of it lives.
class Session {
 public:
  Session() {
    atspi_set_timeout(kCallTimeoutMs, -1);
    atspi_init();
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() { atspi_exit(); }
};

class States {
 public:
  explicit States(AtspiAccessible* object) : set_(atspi_accessible_get_state_set(object)) {}
  bool has(AtspiStateType state) const {
    return set_ && atspi_state_set_contains(set_.get(), state);
  }

 private:
  GObjectPtr<AtspiStateSet> set_;
};

struct Children {
  Status status = Status::success;
  int count = 0;
};

Children childCount(AtspiAccessible* object) {
  CallError error;
  const gint count = atspi_accessible_get_child_count(object, error.out());
  return {error.status(), error.failed() ? 0 : std::max(count, 0)};
}

GObjectPtr<AtspiAccessible> childAt(AtspiAccessible* object, int index) {
  CallError error;
  return GObjectPtr<AtspiAccessible>(
      atspi_accessible_get_child_at_index(object, index, error.out()));
}

// Depth-first search for the FOCUSED object below `object`. Hidden subtrees
// cannot hold the keyboard focus, and the children of an object that manages
// its descendants (a list or table) may be thousands of transient cells, so
// neither is entered.
GObjectPtr<AtspiAccessible> findFocused(AtspiAccessible* object, int depth, int& budget) {
  if (--budget < 0 || depth > kMaxDepth) return nullptr;
  const States states(object);
  if (states.has(ATSPI_STATE_FOCUSED)) {
    return GObjectPtr<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(object)));
  }
  if (!states.has(ATSPI_STATE_SHOWING) || states.has(ATSPI_STATE_MANAGES_DESCENDANTS)) {
    return nullptr;
  }
  const Children children = childCount(object);
  for (int index = 0; index < children.count && budget > 0; ++index) {
    const GObjectPtr<AtspiAccessible> child = childAt(object, index);
    if (!child) continue;
    if (auto found = findFocused(child.get(), depth + 1, budget)) return found;
  }
  return nullptr;
}

// The focused object lies in the active window of one application; an
// application that fails to answer is passed over rather than allowed to hide
// the others.
GObjectPtr<AtspiAccessible> focusedInDesktop(AtspiAccessible* desktop, int& budget) {
  const Children applications = childCount(desktop);
  for (int a = 0; a < applications.count && budget > 0; ++a) {
    const GObjectPtr<AtspiAccessible> application = childAt(desktop, a);
    if (!application) continue;
    const Children windows = childCount(application.get());
    if (windows.status != Status::success) continue;
    for (int w = 0; w < windows.count && budget > 0; ++w) {
      const GObjectPtr<AtspiAccessible> window = childAt(application.get(), w);
      if (!window || !States(window.get()).has(ATSPI_STATE_ACTIVE)) continue;
      if (auto found = findFocused(window.get(), 0, budget)) return found;
    }
  }
  return nullptr;
}

struct TextContent {
  Status status = Status::success;
  std::string text;
};

TextContent textOf(AtspiText* text) {
  CallError error;
  const std::unique_ptr<gchar, GFree> content(atspi_text_get_text(text, 0, -1, error.out()));
  if (error.failed() || !content) return {error.failed() ? error.status() : Status::noValue, {}};
  return {Status::success, content.get()};
}

// AT-SPI counts offsets in characters as code points, while the probe counts
// user-perceived characters: an emoji with a skin tone is two code points but
// one character. Offsets are therefore converted, so that the character before
// the caret is the whole cluster the user sees there.
TextRange clusterRange(const std::string& text, gint start, gint end) {
  const std::int64_t location = graphemeClustersBeforeCodePoint(text, std::min(start, end));
  const std::int64_t last = graphemeClustersBeforeCodePoint(text, std::max(start, end));
  return {location, last - location};
}

class AtspiElement final : public Element {
 public:
  AtspiElement(std::shared_ptr<Session> session, GObjectPtr<AtspiAccessible> object)
      : session_(std::move(session)), object_(std::move(object)) {}

  FocusQuery focusedElement() const override { return {Status::attributeUnsupported, nullptr}; }

  AttributeQuery value() const override {
    const GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(object_.get()));
    if (!text) return {Status::attributeUnsupported, std::nullopt};
    TextContent content = textOf(text.get());
    if (content.status != Status::success) return {content.status, std::nullopt};
    return {Status::success, AttributeValue(std::move(content.text))};
  }

  AttributeQuery selectedTextRange() const override {
    const GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(object_.get()));
    if (!text) return {Status::attributeUnsupported, std::nullopt};
    const TextContent content = textOf(text.get());
    if (content.status != Status::success) return {content.status, std::nullopt};

    CallError error;
    const gint selections = atspi_text_get_n_selections(text.get(), error.out());
    if (!error.failed() && selections > 0) {
      const std::unique_ptr<AtspiRange, GFree> range(
          atspi_text_get_selection(text.get(), 0, error.out()));
      if (!error.failed() && range) {
        return {Status::success,
                clusterRange(content.text, range->start_offset, range->end_offset)};
      }
    }
    CallError caretError;
    const gint caret = atspi_text_get_caret_offset(text.get(), caretError.out());
    if (caretError.failed()) return {caretError.status(), std::nullopt};
    // An object with text but no caret (a label) reports a negative offset.
    if (caret < 0) return {Status::noValue, std::nullopt};
    return {Status::success, clusterRange(content.text, caret, caret)};
  }

 private:
  std::shared_ptr<Session> session_;
  GObjectPtr<AtspiAccessible> object_;
};

class AtspiDesktop final : public Element {
 public:
  FocusQuery focusedElement() const override {
    if (!busMayExist()) return {Status::apiDisabled, nullptr};
    auto session = std::make_shared<Session>();
    const GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) return {Status::apiDisabled, nullptr};
    int budget = kMaxVisited;
    GObjectPtr<AtspiAccessible> focused = focusedInDesktop(desktop.get(), budget);
    if (!focused) return {Status::noValue, nullptr};
    return {Status::success,
            std::make_unique<AtspiElement>(std::move(session), std::move(focused))};
  }
  AttributeQuery value() const override { return {Status::attributeUnsupported, std::nullopt}; }
  AttributeQuery selectedTextRange() const override {
    return {Status::attributeUnsupported, std::nullopt};
  }
};

class AtspiAccessibility final : public Accessibility {
 public:
  std::unique_ptr<Element> createSystemWide() override { return std::make_unique<AtspiDesktop>(); }
};

}  // namespace

std::unique_ptr<Accessibility> makeSystemAccessibility() {
  return std::make_unique<AtspiAccessibility>();
}

}  // namespace platform::accessibility
