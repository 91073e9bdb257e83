// The macOS backend: the ApplicationServices accessibility calls. The range
// is passed on as the system gives it (UTF-16 units); the caller treats it as
// a count of characters and copes with a caret beyond the end.

#include <ApplicationServices/ApplicationServices.h>

#include <memory>
#include <string>
#include <utility>

#include "Platform/Accessibility/Accessibility.hpp"

namespace platform::accessibility {
namespace {

struct CFReleaser {
  void operator()(CFTypeRef object) const { CFRelease(object); }
};
using CFHolder = std::unique_ptr<const void, CFReleaser>;

Status statusOf(AXError error) {
  switch (error) {
    case kAXErrorSuccess: return Status::success;
    case kAXErrorAPIDisabled: return Status::apiDisabled;
    case kAXErrorNoValue: return Status::noValue;
    case kAXErrorAttributeUnsupported: return Status::attributeUnsupported;
    case kAXErrorCannotComplete: return Status::cannotComplete;
    default: return Status::failure;
  }
}

std::string utf8Of(CFStringRef string) {
  const CFRange all = CFRangeMake(0, CFStringGetLength(string));
  CFIndex size = 0;
  CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &size);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false,
                   reinterpret_cast<UInt8*>(bytes.data()), size, nullptr);
  return bytes;
}

struct Copied {
  Status status;
  CFHolder value;
};

Copied copyAttribute(AXUIElementRef element, CFStringRef attribute) {
  CFTypeRef value = nullptr;
  const AXError error = AXUIElementCopyAttributeValue(element, attribute, &value);
  return {statusOf(error), CFHolder(value)};
}

class MacElement final : public Element {
 public:
  explicit MacElement(CFHolder element) : element_(std::move(element)) {}

  FocusQuery focusedElement() const override {
    Copied copied = copyAttribute(ref(), CFSTR("AXFocusedUIElement"));
    if (!copied.value || CFGetTypeID(copied.value.get()) != AXUIElementGetTypeID()) {
      return {copied.status, nullptr};
    }
    return {copied.status, std::make_unique<MacElement>(std::move(copied.value))};
  }

  AttributeQuery value() const override {
    const Copied copied = copyAttribute(ref(), CFSTR("AXValue"));
    if (!copied.value) return {copied.status, std::nullopt};
    if (CFGetTypeID(copied.value.get()) != CFStringGetTypeID()) {
      return {copied.status, AttributeValue(OtherValue{})};
    }
    return {copied.status, AttributeValue(utf8Of(static_cast<CFStringRef>(copied.value.get())))};
  }

  AttributeQuery selectedTextRange() const override {
    const Copied copied = copyAttribute(ref(), CFSTR("AXSelectedTextRange"));
    if (!copied.value) return {copied.status, std::nullopt};
    if (CFGetTypeID(copied.value.get()) != AXValueGetTypeID()) {
      return {copied.status, AttributeValue(OtherValue{})};
    }
    // An AXValue of another kind fails to convert and leaves location 0.
    CFRange range = CFRangeMake(0, 0);
    AXValueGetValue(static_cast<AXValueRef>(copied.value.get()), kAXValueTypeCFRange, &range);
    return {copied.status, AttributeValue(TextRange{range.location, range.length})};
  }

 private:
  AXUIElementRef ref() const { return static_cast<AXUIElementRef>(element_.get()); }

  CFHolder element_;
};

class MacAccessibility final : public Accessibility {
 public:
  std::unique_ptr<Element> createSystemWide() override {
    return std::make_unique<MacElement>(CFHolder(AXUIElementCreateSystemWide()));
  }
};

}  // namespace

std::unique_ptr<Accessibility> makeSystemAccessibility() {
  return std::make_unique<MacAccessibility>();
}

}  // namespace platform::accessibility
