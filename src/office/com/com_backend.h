// The automation interface over COM: servers created by ProgID through
// CoCreateInstance and called late-bound through IDispatch, with the errors a
// late-bound caller sees. Windows only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include <oaidl.h>

#include "office/automation.h"

namespace office::com {

// COM on this thread, apartment-threaded, for the lifetime of the object,
// with a message filter that retries the calls a busy server rejects (for up
// to retryMilliseconds). Every object must be released before it ends.
class Apartment {
 public:
  explicit Apartment(unsigned retryMilliseconds = 30000);
  ~Apartment();
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;

 private:
  IMessageFilter* filter_ = nullptr;
  IMessageFilter* previous_ = nullptr;
};

// CLSIDFromProgID + CoCreateInstance(CLSCTX_SERVER).
Object createObject(std::string_view progId);

struct ServerOptions {
  // How long one document's calls, from its Open to its Close, may take
  // before the server's process is ended.
  std::chrono::milliseconds documentTimeout{120'000};
};

// A fresh instance in a process of its own (CLSCTX_LOCAL_SERVER), never one
// somebody else runs. When its process is new, the program ends it with
// itself (a job object that kills on close), ends it when a document
// overruns the limit, and quits it at the end; a server that lives in a process somebody
// else started is neither quit nor ended. A class with no local server is
// created in this process, as createObject does.
Object createServer(std::string_view progId, const ServerOptions& options);

// From now on every ProgID the registry has no factory for is created
// through COM, by createServer.
void createThroughCom(ServerRegistry& registry, ServerOptions options = {});

// The object behind an IDispatch (one reference added); ours come back as
// the objects they wrap.
Object fromDispatch(IDispatch* dispatch);
// An IDispatch for the object (one reference for the caller): a COM object's
// own, or one of ours around an object of this program.
IDispatch* toDispatch(const Object& object);

// How many of our objects some COM client still holds: none once a server
// of ours has been let go.
std::size_t ownObjectsAlive();

// VARIANT conversions both ways. toVariant fills an initialised VARIANT;
// fromVariant follows the stated rule for the kinds the interface has no
// value for: whole numbers to Long where they fit, else Double; dates,
// currency and decimals to text; arrays and other kinds: error 13.
void toVariant(const Variant& value, VARIANT& out);
Variant fromVariant(const VARIANT& in);

// The error a late-bound caller sees for a failed call; excepinfo may be
// null, and its strings are freed here.
AutomationError errorFrom(HRESULT hr, EXCEPINFO* excepinfo = nullptr);

// Our description of a caller-side error code ("" when we have none).
std::string_view describe(std::int32_t code);

}  // namespace office::com
