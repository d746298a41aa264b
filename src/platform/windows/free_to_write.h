// A file a Windows suite could not write back, or that another program holds
// open, is refused before the suite opens it: the suite would open it
// read-only, or ask, and fail only when saving. (LibreOffice's server makes
// the same checks itself when it opens a file.)
#pragma once

#include <string>

namespace platform::windows {

// Throws the failure a run reports for path ("文件只读，未作改动",
// "文件正被其他程序使用，未作改动"); a path that is no file is left to the
// suite to report.
void requireFreeToWrite(const std::string& path);

}  // namespace platform::windows
