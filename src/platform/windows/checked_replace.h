// A file replaced by a copy of another only if what it held at the moment of
// the replacement is what the caller expects: another program may write it
// between any check of its own and the replacement.
#pragma once

#include <filesystem>
#include <functional>

namespace platform::windows {

enum class CheckedReplace {
  Replaced,   // the document holds the copy; what it held is gone
  Refused,    // it held something else, and holds it again
  KeptAside,  // it held something else, which could not be put back (kept at the path given)
};

// The document replaced by a copy of source in one step that also moves its
// content aside (ReplaceFile: the document keeps its attributes, security
// and streams); expected is given that content, which then goes (Replaced)
// or comes back (Refused). aside: the kept content's name (KeptAside), or a
// file of ours that could not be removed (Replaced). Throws
// std::runtime_error, the document as it was, when the step fails or
// expected throws.
CheckedReplace replaceChecked(const std::filesystem::path& document,
                              const std::filesystem::path& source,
                              const std::function<bool(const std::filesystem::path&)>& expected,
                              std::filesystem::path& aside);

}  // namespace platform::windows
