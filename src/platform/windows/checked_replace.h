// A file replaced by a copy of another only if what it held at the moment of
// the replacement is what the caller expects: another program may write it
// between any check of its own and the replacement.
#pragma once

#include <filesystem>
#include <functional>

namespace platform::windows {

enum class CheckedReplace {
  Replaced,  // the document holds the copy; what it held is gone
  Refused,   // it held something else, and holds it again
  // It held something else, kept at aside: the document holds the copy
  // (Replaced's content), or is gone from its name (MovedAside).
  KeptAside,
  MovedAside,
};

// The document replaced by a copy of source in one step that also moves its
// content aside (ReplaceFile: the document keeps its attributes, security
// and streams); expected is given that content, which then goes (Replaced)
// or comes back (Refused), as it does when expected throws (the error is
// then thrown on). aside: where the content is kept (KeptAside,
// MovedAside), or a file of ours that could not be removed (Replaced,
// Refused). Throws std::runtime_error, the document as it was, when the step
// fails.
CheckedReplace replaceChecked(const std::filesystem::path& document,
                              const std::filesystem::path& source,
                              const std::function<bool(const std::filesystem::path&)>& expected,
                              std::filesystem::path& aside);

}  // namespace platform::windows
