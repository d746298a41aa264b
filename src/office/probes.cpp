#include "office/probes.h"

#include <cmath>

namespace office {

const ProbeSettings kCheckOffice{
    "excel.Application",
    Suite::Microsoft,
    true,
    "1、系统提示:不能运行Excel或wod程序,请检查是否已安装Microsoft Excel word软件!",
    "1、本机系统提示: ",
    "1、获取offcce版本失败",
    "错误代码：",
    classifyOffice,
};

const ProbeSettings kCheckWpsV8{
    "ET.Application",
    Suite::Wps,
    false,
    "2、系统提示:不能运行WPS-V8程序,请检查是否已安装WPS软件!",
    "2、系统wps提示:",
    "2、未安装WPS-V8或以下版本",
    "WPSV8错误代码：",
    classifyWpsV8,
};

const ProbeSettings kCheckWpsV9{
    "KET.Application",
    Suite::Wps,
    false,
    "3、系统提示:不能运行WPS-V8程序,请检查是否已安装WPS软件!",
    "3、系统wps提示:",
    "3、未安装WPS-V9或以上版本",
    "WPSV9错误代码：",
    classifyWpsV9,
};

std::string_view classifyOffice(double version) {
  if (version <= 11.0) return "已安装offcce 2003或以下版本";
  if (version >= 12.0) return "已安装offcce 2007或以上版本";
  return kUnknownVersion;
}

std::string_view classifyWpsV8(double version) {
  if (8 < std::trunc(version)) return kUnknownVersion;
  return "已安装WPS-V8或以下版本";
}

std::string_view classifyWpsV9(double version) {
  if (9 > std::trunc(version)) return kUnknownVersion;
  return "已安装WPS-V9或以上版本";
}

namespace {

// The default value compared with the empty text, as a late-bound caller
// compares: Empty equals "", Null and numbers cannot be compared with it.
bool equalsEmptyText(const Variant& value) {
  if (value.isEmpty()) return true;
  if (value.isObject()) return equalsEmptyText(value.toObject().defaultValue());
  if (const auto* s = std::get_if<std::string>(&value.value())) return s->empty();
  if (value.isNull()) throw AutomationError(kErrInvalidNull, "无效使用 Null");
  throw AutomationError(kErrTypeMismatch, "类型不匹配");
}

void appendLine(ProbeWindow& window, std::string_view line) {
  window.setStatusCaption(window.statusCaption() + "\r\n" + std::string(line));
}

void writeLine(const ProbeSettings& probe, ProbeWindow& window, std::string_view line) {
  if (probe.replacesCaption) {
    window.setStatusCaption(std::string(line));
  } else {
    appendLine(window, line);
  }
}

}  // namespace

void runProbe(const ProbeSettings& probe, const ServerRegistry& servers, ProbeWindow& window) {
  Object server;
  try {
    server = servers.create(probe.progId);
    server.put("Visible", false);
    const Variant name = server.defaultValue();
    if (equalsEmptyText(name)) {
      writeLine(probe, window, probe.cannotRunLine);
      return;
    }
    // LibreOffice, which serves both kinds on Linux, names itself: its version
    // is its own, and no Office's.
    const auto* product = std::get_if<std::string>(&name.value());
    if (product != nullptr && product->rfind("LibreOffice", 0) == 0) {
      window.enableSuite(probe.suite, true);
      writeLine(probe, window,
                std::string(probe.versionPrefix) + "已安装" + *product + " 版本号：" +
                    server.get("Version").toText());
      return;
    }
    const double version = server.get("Version").toDouble();
    const std::string_view classification = probe.classify(version);
    window.enableSuite(probe.suite, true);
    std::string message(probe.versionPrefix);
    message.append(classification);
    message.append(" 版本号：");
    message.append(formatNumber(version));
    message.append(".0");
    writeLine(probe, window, message);
  } catch (const AutomationError& e) {
    if (e.code() != kErrCannotCreate) return;
    window.enableSuite(probe.suite, false);
    std::string record(probe.errorPrefix);
    record += std::to_string(e.code());
    record += "错误描述：";
    record += e.description();
    record += "错误";
    appendLine(window, probe.notInstalledLine);
    window.writeJournal(std::move(record));
  }
}

}  // namespace office
