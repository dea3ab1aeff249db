#pragma once

#include <string>
#include <utility>

namespace bus {

// The result of an operation that can fail: ok, or an error text. System-call
// failures carry the call's name and the errno text ("bind: Address in use").
class [[nodiscard]] Status {
 public:
  static Status ok() { return Status(); }
  static Status error(std::string text) { return Status(std::move(text)); }
  // "call: strerror(errno)" from the current errno.
  static Status sysError(const char* call);

  bool isOk() const { return !mFailed; }
  const std::string& text() const { return mText; }

 private:
  Status() = default;
  explicit Status(std::string text) : mFailed(true), mText(std::move(text)) {}

  bool mFailed = false;  // true for an error
  std::string mText;     // error text, empty when ok
};

}  // namespace bus
