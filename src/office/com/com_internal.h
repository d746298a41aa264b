// What the COM files share among themselves: not for the rest of the program.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <atomic>
#include <memory>
#include <string>

#include "office/automation.h"

namespace office::com {

// One COM interface implemented by an object of ours: it lives as long as
// somebody holds a reference, starting with its creator's.
template <typename Interface>
class Counted : public Interface {
 public:
  virtual ~Counted() = default;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> references_{1};
};

// BSTRs to and from UTF-8.
std::string textOf(BSTR s);
BSTR bstrOf(const std::string& utf8);

// Throws the caller-side error of code with our description of it.
[[noreturn]] void fail(std::int32_t code);

class ServerProcess;

// A COM object as an automation object, watched with the server whose
// process it lives in when one is given.
Object comObject(IDispatch* dispatch, std::shared_ptr<ServerProcess> server = nullptr);

}  // namespace office::com
