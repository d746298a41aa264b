#include "ui/layout.h"

#include <array>

namespace ui {

namespace {

using K = ControlKind;
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kPurple{192, 0, 192};
constexpr Rgb kLightGreen{192, 255, 192};

constexpr std::array kMainControls{
    ControlGeometry{"Frame3", K::Frame, "", "", 120, 120, 9255, 615, 0, {}, {}},
    ControlGeometry{"Label1", K::Label, "Frame3", "微软", 360, 280, 375, 255, 17, kRed, {}},
    ControlGeometry{
        "Option1", K::OptionButton, "Frame3", "word.doc", 960, 280, 1095, 180, 1, {}, {}},
    ControlGeometry{
        "Option2", K::OptionButton, "Frame3", "excel.xls", 2160, 240, 1215, 255, 2, {}, {}},
    ControlGeometry{"Label3", K::Label, "Frame3", "金山wps", 4680, 280, 735, 255, 18, kPurple, {}},
    ControlGeometry{
        "Option3", K::OptionButton, "Frame3", "wps.doc", 5520, 240, 1095, 300, 14, {}, {}},
    ControlGeometry{
        "Option4", K::OptionButton, "Frame3", "wps.xls", 6840, 240, 1095, 300, 15, {}, {}},
    ControlGeometry{"Frame1", K::Frame, "", "", 120, 840, 5775, 5415, 3, {}, {}},
    ControlGeometry{"Frame2", K::Frame, "Frame1", "所在文件夹", 120, 360, 2685, 3105, 6, {}, {}},
    ControlGeometry{"Drive1", K::DriveList, "Frame2", "", 120, 360, 2340, 300, 8, {}, {}},
    ControlGeometry{"Dir1", K::FolderList, "Frame2", "", 165, 750, 2355, 2190, 7, {}, {}},
    ControlGeometry{"Frame4", K::Frame, "Frame1", "要替换的文档", 2775, 360, 2880, 3105, 9, {}, {}},
    ControlGeometry{"File1", K::FileList, "Frame4", "*.doc", 120, 360, 2655, 2610, 10, {}, {}},
    ControlGeometry{
        "Text1", K::TextBox, "Frame1", "请输入要替换的内容", 120, 3495, 5535, 600, 5, {}, {}},
    ControlGeometry{"Text2", K::TextBox, "Frame1", "替换内容\r", 135, 4080, 5535, 615, 4, {}, {}},
    ControlGeometry{
        "Command1", K::CommandButton, "Frame1", "doc文档替换", 360, 4800, 1335, 495, 11, {}, {}},
    ControlGeometry{
        "Command2", K::CommandButton, "Frame1", "xls表格替换", 4080, 4800, 1335, 495, 19, {}, {}},
    ControlGeometry{"Frame5", K::Frame, "", "替换情况", 6000, 840, 3375, 5415, 12, {}, {}},
    ControlGeometry{"Text3", K::TextBox, "Frame5", "", 120, 240, 3135, 5055, 13, {}, {}},
    ControlGeometry{"Label2", K::Label, "", "", 120, 6360, 9255, 975, 16, {}, kLightGreen},
};

constexpr std::array kContactControls{
    ControlGeometry{
        "Label1", K::Label, "", "添加微信好友（备注：软件咨询）", 120, 240, 2895, 255, 0, {}, {}},
    ControlGeometry{"Image1", K::Image, "", "", 0, 600, 3135, 2895, -1, {}, {}},
};

}  // namespace

const WindowGeometry& mainWindowGeometry() {
  static const WindowGeometry window{"Ravelsk", 9465, 7425, kMainControls};
  return window;
}

const WindowGeometry& contactWindowGeometry() {
  static const WindowGeometry window{"联系程序员", 3150, 3495, kContactControls};
  return window;
}

const ControlGeometry* findControl(const WindowGeometry& window, std::string_view name) {
  for (const ControlGeometry& control : window.controls) {
    if (control.name == name) return &control;
  }
  return nullptr;
}

}  // namespace ui
