// What the two batch runs read from and report to the window.
#pragma once

#include <cstddef>
#include <string>

#include "office/automation.h"

namespace replace {

class RunWindow {
 public:
  virtual ~RunWindow() = default;

  virtual std::size_t fileCount() const = 0;
  virtual std::string fileEntry(std::size_t index) const = 0;  // a bare name
  virtual std::string folder() const = 0;
  virtual std::string findText() const = 0;     // Text1
  virtual std::string replaceText() const = 0;  // Text2
  // The two text boxes themselves, for servers that read a box's default
  // member (its text).
  virtual office::Object findTextBox() = 0;
  virtual office::Object replaceTextBox() = 0;

  // Reports one result: appends text and CR LF to the status box, sets strRZ
  // to text and calls rz. A journal failure does not stop the run.
  virtual void report(const std::string& text) = 0;
};

// A text box as a server sees it: an object whose default member (or "Text")
// is the box's text, which the server may also set.
office::Object textBoxObject(std::string& text);

}  // namespace replace
