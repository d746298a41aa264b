// The listed files a run does not open: a second name of a file it processes
// under its first, and a document another user has open, which Word and
// Excel mark with an owner file beside it ("~$" names, which on a share
// everybody sees). Such an owner file is never a document of its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "replace/run_host.h"

namespace replace {

// Whether name (a bare file name) is an owner file's.
bool isOwnerFileName(std::string_view name);

// Whether an owner file beside the document at path (UTF-8) says another
// program has it open. Word names it "~$" and the name for a short name, and
// puts "~$" in place of the first character of a name of seven characters
// before its extension and of the first two of a longer one; Excel takes the
// whole name. A link is judged by the document it leads to as well.
bool hasOwnerFile(const std::string& path);

// The failure of a document in use, as a file another program holds open
// fails: "<entry> 处理失败，错误代码：-2147467259错误描述：文件正被其他程序使用，未作改动"
RunResult inUseResult(const std::string& entry);

// Reports the file when the run is not to open it (a later name of a file,
// a document another office holds), and then returns true.
bool reportedWithoutOpening(RunHost& host, const RunFile& file);

}  // namespace replace
