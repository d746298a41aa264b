#include "cli/options.h"

#ifndef RAVELSK_VERSION
#define RAVELSK_VERSION "1.0"
#endif

#include <algorithm>
#include <charconv>
#include <iterator>
#include <optional>
#include <string_view>

namespace cli {

namespace {

constexpr std::string_view kValueOptions[] = {"--doc",    "--xls",  "--find",  "--replace",
                                              "--suite",  "--jobs", "--rules", "--report",
                                              "--backup", "--undo"};
constexpr std::string_view kFlagOptions[] = {"--recursive", "--dry-run", "--match-case",
                                             "--help",      "-h",        "--version"};

// Ends the options, as in every other command: what follows is no option.
constexpr std::string_view kEndOfOptions = "--";

// Qt's own options, which the window program takes: with their values, they
// leave the window as it is.
constexpr std::string_view kToolkitValueOptions[] = {
    "-platform", "-platformpluginpath", "-platformtheme", "-plugin",
    "-style",    "-stylesheet",         "-session",       "-display",
    "-geometry", "-qwindowgeometry",    "-qwindowtitle",  "-qwindowicon"};
constexpr std::string_view kToolkitFlags[] = {"-reverse", "-widgetcount", "-nograb", "-dograb",
                                              "-sync"};

constexpr const char* kNoFolderHint = "请用 --doc 或 --xls 指定文件夹";

bool isHelp(std::string_view arg) {
#ifdef _WIN32
  if (arg == "/?") return true;
#endif
  return arg == "--help" || arg == "-h";
}

template <std::size_t N>
bool isOneOf(std::string_view name, const std::string_view (&known)[N]) {
  return std::find(std::begin(known), std::end(known), name) != std::end(known);
}

// "--name=value" split at the first '='.
std::string_view optionName(std::string_view arg) {
  const std::size_t equals = arg.find('=');
  return equals == std::string_view::npos ? arg : arg.substr(0, equals);
}

void setOnce(std::optional<std::string>& slot, std::string_view name, std::string value) {
  if (slot) throw UsageError("选项重复：" + std::string(name));
  slot = std::move(value);
}

// With --help or --version the rest is not parsed, but a mistyped option is
// still an error: a script that asks for the version with an option this
// version does not know must not take that for a yes.
void refuseUnknownOptions(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == kEndOfOptions) return;
    const std::string_view name = optionName(arg);
    if (isOneOf(name, kFlagOptions)) continue;
    if (isOneOf(name, kValueOptions)) {
      if (name.size() == arg.size()) ++i;  // its value, whatever it looks like
      continue;
    }
    if (arg.rfind("-", 0) == 0) throw UsageError("未知选项：" + arg);
  }
}

}  // namespace

bool wantsCommandLine(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view name = optionName(args[i]);
    if (isOneOf(name, kToolkitFlags)) continue;
    if (isOneOf(name, kToolkitValueOptions)) {
      if (name.size() == args[i].size()) ++i;
      continue;
    }
    // Anything else is the command line's, which refuses what it does not
    // know with a hint: a folder given without --doc must not silently open
    // the window instead.
    return true;
  }
  return false;
}

Options parseOptions(const std::vector<std::string>& args) {
  Options options;
  for (const std::string& arg : args) {
    if (arg == kEndOfOptions) break;
    if (isHelp(arg)) options.help = true;
    if (arg == "--version") options.version = true;
  }
  if (options.help || options.version) {
    refuseUnknownOptions(args);
    return options;
  }

  std::optional<std::string> doc, xls, find, replacement, suite, jobs, rules, report, backup, undo;
  bool recursive = false;
  bool dryRun = false;
  bool matchCase = false;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // The command takes no arguments but its options: a folder or a text
    // given bare (also after "--") is a mistake the user can mend.
    if (optionsEnded) throw UsageError(kNoFolderHint);
    if (arg == kEndOfOptions) {
      optionsEnded = true;
      continue;
    }
    const std::string_view name = optionName(arg);
    if (isOneOf(name, kFlagOptions)) {
      if (name.size() != arg.size()) throw UsageError("选项不带值：" + std::string(name));
      bool& flag = name == "--dry-run" ? dryRun : name == "--match-case" ? matchCase : recursive;
      if (flag) throw UsageError("选项重复：" + std::string(name));
      flag = true;
      continue;
    }
    if (!isOneOf(name, kValueOptions)) {
      if (arg.rfind("-", 0) == 0) throw UsageError("未知选项：" + arg);
      throw UsageError(kNoFolderHint);
    }
    std::string value;
    if (name.size() != arg.size()) {
      value = arg.substr(name.size() + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      throw UsageError("选项缺少值：" + arg);
    }
    std::optional<std::string>& slot = name == "--doc"       ? doc
                                       : name == "--xls"     ? xls
                                       : name == "--find"    ? find
                                       : name == "--replace" ? replacement
                                       : name == "--suite"   ? suite
                                       : name == "--jobs"    ? jobs
                                       : name == "--rules"   ? rules
                                       : name == "--report"  ? report
                                       : name == "--backup"  ? backup
                                                             : undo;
    setOnce(slot, name, std::move(value));
  }

  // An undo takes nothing but its backup folder.
  if (undo) {
    if (doc || xls || find || replacement || suite || jobs || rules || report || backup || dryRun ||
        matchCase || recursive) {
      throw UsageError("--undo 不能与其他选项同时使用");
    }
    if (undo->empty()) throw UsageError("备份文件夹为空");
    options.undoFolder = *undo;
    return options;
  }
  if (doc.has_value() == xls.has_value()) {
    throw UsageError("请给出 --doc 文件夹 或 --xls 文件夹，二者选一");
  }
  options.kind = doc ? FileKind::Documents : FileKind::Workbooks;
  options.folder = doc ? *doc : *xls;
  if (options.folder.empty()) throw UsageError("文件夹为空");
  if (rules) {
    if (find || replacement) throw UsageError("--rules 不能与 --find、--replace 同时使用");
    if (rules->empty()) throw UsageError("规则文件名为空");
    options.rulesFile = *rules;
  } else {
    if (!find) throw UsageError("缺少 --find 查找内容（或 --rules 规则文件）");
    if (find->empty()) throw UsageError("查找内容为空");
    if (!replacement) throw UsageError("缺少 --replace 替换内容");
    options.findText = *find;
    options.replaceText = *replacement;
  }
  if (report && report->empty()) throw UsageError("报告文件名为空");
  if (backup && backup->empty()) throw UsageError("备份文件夹为空");
  if (backup && dryRun) throw UsageError("--backup 不能与 --dry-run 同时使用：试运行不改动文件");
  options.reportFile = report.value_or("");
  options.backupFolder = backup.value_or("");
  options.dryRun = dryRun;
  options.matchCase = matchCase;
  if (suite) {
    if (*suite == "microsoft") {
      options.suite = office::Suite::Microsoft;
    } else if (*suite == "wps") {
      options.suite = office::Suite::Wps;
    } else {
      throw UsageError("--suite 只能是 microsoft 或 wps：" + *suite);
    }
  }
  if (jobs) {
    unsigned value = 0;
    const char* end = jobs->data() + jobs->size();
    auto [stop, error] = std::from_chars(jobs->data(), end, value);
    if (jobs->empty() || error != std::errc() || stop != end) {
      throw UsageError("--jobs 须为 0 或正整数：" + *jobs);
    }
    options.jobs = value;
  }
  options.recursive = recursive;
  return options;
}

std::string usageText() {
  return "用法：ravelsk --doc 文件夹|--xls 文件夹 (--find 查找内容 --replace 替换内容 | --rules "
         "规则文件)\n"
         "              [--dry-run] [--report 报告.csv] [--backup 备份文件夹]\n"
         "              [--suite microsoft|wps] [--jobs N] [--recursive] [--match-case]\n"
         "       ravelsk --undo 备份文件夹\n"
         "       ravelsk --help | -h | --version\n"
         "不带选项启动时打开窗口。\n"
         "\n"
         "  --doc 文件夹       替换文件夹中每个 *.doc 文档（也包括 .docx、.docm）\n"
         "  --xls 文件夹       替换文件夹中每个 *.xls 表格的每个工作表（也包括 .xlsx、.xlsm）\n"
         "  --find 内容        要替换的原内容（不能为空）\n"
         "  --replace 内容     新内容（可以为空）\n"
         "  --rules 文件       多组替换，每行一组：原内容、制表符（或逗号，CSV "
         "引号规则）、新内容；\n"
         "                     UTF-8（可带 BOM）、带 BOM 的 UTF-16 或本机代码页（如 GBK）；\n"
         "                     也可以是工作簿（.xls、.xlsx）：第一个工作表的 A 列和 B 列；\n"
         "                     # 开头的行和空行跳过。每个文件只打开一次，各组按顺序替换，\n"
         "                     后面的一组会看到前面各组替换后的内容。不能与 --find/--replace 同用\n"
         "  --dry-run          试运行：只统计每个文件（每个工作表）中能替换的处数，\n"
         "                     不保存、不改动任何文件，也不写日志；工作表数的是含有原内容的单元格\n"
         "  --report 文件      另写一份 CSV 报告（UTF-8 带 BOM），每个文件或工作表一行：\n"
         "                     路径、工作表、结果、处数、错误代码、错误描述；每个文件后都是完整的\n"
         "  --backup 文件夹    替换前把每个要改动的文件的原件按相对路径保存到这个文件夹\n"
         "                     （同一文件系统上为硬链接，否则为副本）；备份失败的文件不改动\n"
         "  --undo 文件夹      撤销：把 --backup（或窗口）在这个备份文件夹里保存的原件放回原处；\n"
         "                     只恢复仍与替换后完全相同的文件，之后被改过的文件不动；每个文件一行\n"
         "  --suite 办公软件   microsoft（默认）或 wps\n"
         "  --jobs N           同时运行 N 个办公软件，各处理文件列表的一部分；\n"
         "                     0 表示每个处理器一个（默认 1）\n"
         "  --recursive        也处理每个子文件夹中的文件，结果行写相对路径\n"
         "  --match-case       区分大小写（默认不区分：abc 也替换 ABC、Abc），试运行也照此计数\n"
         "  --                 选项到此为止\n"
         "\n"
         "例如：\n"
         "  ravelsk --doc 合同 --rules 改名.txt --backup 合同备份 --report 结果.csv\n"
         "  ravelsk --xls 报表 --find 旧公司名 --replace 新公司名 --dry-run\n"
         "\n"
         "结果行按文件列表的顺序写到标准输出，并写入每日日志（试运行不写）。\n"
         "退出码：0 全部替换或没找到；1 有文件失败、日志或报告写入失败、办公软件中途无法重启，\n"
         "        或文件夹中没有要处理的文件；\n"
         "        2 用法错误，或办公软件无法启动（未处理任何文件）；130 被 Ctrl+C 停止。\n";
}

std::string versionText() {
  return std::string("ravelsk ") + RAVELSK_VERSION + "\n";
}

}  // namespace cli
