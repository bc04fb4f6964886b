#include "winshell/Layout.h"

#include <commctrl.h>

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "engine/Settings.h"
#include "winshell/ControlIds.h"
#include "winshell/WinText.h"

namespace vantrel {

namespace {

using K = ControlKind;
using C = Container;

// Where GroupBox1 and GroupBox2 stand, at 96 DPI.
constexpr POINT kGroupBox1{1, 0};
constexpr POINT kGroupBox2{1 + 16, 0 + 168};
// The client area of the 800 x 531 window: GroupBox1 (784 x 473) over the 19-pixel status bar.
constexpr SIZE kClient{786, 492};
constexpr int kStatusPanels[2] = {200, 300};
// Room around a caption inside a button, and between a label and its field.
constexpr int kButtonPadding = 12;
constexpr int kLabelGap = 4;
constexpr int kEditBorders = 6;  // client edge and the edit's own margins, top and bottom

// Controls that follow another on one row, left to right, in the order they are fitted: where
// the one before grew into the next, a field keeps its right edge and gives up width to it,
// and anything else moves right, whole.
enum class Fit { Shrink, Move };
struct Following {
    int before, after;
    int gap;
    Fit fit;
};
constexpr Following kRows[] = {
    {IDC_SOURCELABEL, IDC_EDIT1, kLabelGap, Fit::Shrink},
    {IDC_TARGETLABEL, IDC_EDIT2, kLabelGap, Fit::Shrink},
    {IDC_TIMELABEL, IDC_DATETIMEPICKER1, kLabelGap, Fit::Shrink},
    {IDC_KEEPLABEL, IDC_DBNUMBEREDITEH1, kLabelGap, Fit::Shrink},
    {IDC_DBNUMBEREDITEH1, IDC_KEEPUNITLABEL, kLabelGap, Fit::Move},
    {IDC_KEEPUNITLABEL, IDC_KEEPMONTHLYLABEL, kLabelGap * 3, Fit::Move},
    {IDC_KEEPMONTHLYLABEL, IDC_KEEPMONTHLY, kLabelGap, Fit::Move},
    {IDC_KEEPMONTHLY, IDC_KEEPMONTHLYUNIT, kLabelGap, Fit::Move},
    {IDC_KEEPMONTHLYUNIT, IDC_KEEPYEARLYLABEL, kLabelGap * 3, Fit::Move},
    {IDC_KEEPYEARLYLABEL, IDC_KEEPYEARLY, kLabelGap, Fit::Move},
    {IDC_KEEPYEARLY, IDC_KEEPYEARLYUNIT, kLabelGap, Fit::Move},
    {IDC_SHARECHECKBOX, IDC_GUARDCHECKBOX, kLabelGap * 4, Fit::Move},
    {IDC_EXCLUDELABEL, IDC_EXCLUDERULES, kLabelGap, Fit::Shrink},
    {IDC_CHECKBOXSTARTATLAUNCH, IDC_CHECKBOXCATCHUP, kLabelGap * 4, Fit::Move},
    {IDC_CHECKBOXCATCHUP, IDC_CHECKBOXSYSTEMTASK, kLabelGap * 4, Fit::Move},
};

// The command buttons, left to right. Their 96-DPI places overlap by a pixel or four; each
// now ends a little before the next begins.
constexpr int kCommandRow[] = {IDC_BUTTON6, IDC_BUTTON8, IDC_BUTTON9, IDC_BUTTON10, IDC_BUTTON7};
constexpr int kButtonGap = 3;

POINT originOf(Container in) {
    switch (in) {
        case C::GroupBox1:
            return kGroupBox1;
        case C::GroupBox2:
            return kGroupBox2;
        case C::Client:
            break;
    }
    return {0, 0};
}

HFONT fontOf(const Fonts& fonts, ControlKind kind) {
    switch (kind) {
        case K::Heading:
            return fonts.heading.get();
        case K::TimePicker:
            return fonts.picker.get();
        default:
            return fonts.ui.get();
    }
}

}  // namespace

std::span<const SettingControl> settingControls() {
    static const SettingControl kSettings[] = {
        {IDC_EDIT1, Setting::Source},
        {IDC_EDIT2, Setting::Target},
        {IDC_DBNUMBEREDITEH1, Setting::Keep},
        {IDC_KEEPMONTHLY, Setting::KeepMonthly},
        {IDC_KEEPYEARLY, Setting::KeepYearly},
        {IDC_SHARECHECKBOX, Setting::Share},
        {IDC_GUARDCHECKBOX, Setting::Guard},
        {IDC_EXCLUDERULES, Setting::ExcludeRules},
        {IDC_CHECKBOXSTARTATLAUNCH, Setting::StartAtLaunch},
        {IDC_CHECKBOXCATCHUP, Setting::CatchUp},
        {IDC_CHECKBOXSYSTEMTASK, Setting::SystemTask},
    };
    return kSettings;
}

std::span<const ControlPlan> mainControls() {
    static const ControlPlan kControls[] = {
        {IDC_GROUPBOX1, K::GroupBox, "", C::Client, 1, 0, 784, 473},
        {IDC_HEADING, K::Heading, "Vantrel", C::GroupBox1, 264, 31, 168, 22},
        {IDC_SOURCELABEL, K::Label, "备份文件/文件夹源地址：", C::GroupBox1, 3, 92, 0, 0},
        {IDC_EDIT1, K::ReadOnlyEdit, "", C::GroupBox1, 149, 88, 348, 21},
        {IDC_BUTTON4, K::Button, "...", C::GroupBox1, 502, 85, 62, 25},
        {IDC_TARGETLABEL, K::Label, "备份文件/文件夹目的地址：", C::GroupBox1, 3, 123, 0, 0},
        {IDC_EDIT2, K::ReadOnlyEdit, "", C::GroupBox1, 149, 117, 348, 21},
        {IDC_BUTTON5, K::Button, "...", C::GroupBox1, 502, 116, 62, 25},
        {IDC_GROUPBOX2, K::GroupBox, "执行周期", C::GroupBox1, 16, 168, 553, 153},
        // Monday to Thursday on the first row, Friday to Sunday on the second.
        {IDC_CHECKBOX1, K::CheckBox, kDayCaptions[0].data(), C::GroupBox2, 8, 24, 0, 0},
        {IDC_CHECKBOX2, K::CheckBox, kDayCaptions[1].data(), C::GroupBox2, 144, 24, 0, 0},
        {IDC_CHECKBOX8, K::CheckBox, kDayCaptions[2].data(), C::GroupBox2, 288, 24, 0, 0},
        {IDC_CHECKBOX4, K::CheckBox, kDayCaptions[3].data(), C::GroupBox2, 424, 24, 0, 0},
        {IDC_CHECKBOX5, K::CheckBox, kDayCaptions[4].data(), C::GroupBox2, 8, 56, 0, 0},
        {IDC_CHECKBOX6, K::CheckBox, kDayCaptions[5].data(), C::GroupBox2, 144, 56, 0, 0},
        {IDC_CHECKBOX7, K::CheckBox, kDayCaptions[6].data(), C::GroupBox2, 288, 56, 0, 0},
        {IDC_TIMELABEL, K::Label, "时刻", C::GroupBox2, 8, 112, 0, 0},
        {IDC_DATETIMEPICKER1, K::TimePicker, "", C::GroupBox2, 64, 104, 97, 31},
        {IDC_KEEPLABEL, K::Label, "保留最近的文件备份数：", C::GroupBox1, 3, 333, 0, 0},
        {IDC_DBNUMBEREDITEH1, K::NumberEdit, "", C::GroupBox1, 160, 330, 81, 21},
        {IDC_KEEPUNITLABEL, K::Label, "个", C::GroupBox1, 248, 335, 0, 0},
        // The monthly and yearly counts beside the keep count.
        {IDC_KEEPMONTHLYLABEL, K::Label, "按月保留", C::GroupBox1, 272, 333, 0, 0},
        {IDC_KEEPMONTHLY, K::CountEdit, "", C::GroupBox1, 324, 330, 36, 21},
        {IDC_KEEPMONTHLYUNIT, K::Label, "个月", C::GroupBox1, 364, 335, 0, 0},
        {IDC_KEEPYEARLYLABEL, K::Label, "按年保留", C::GroupBox1, 400, 333, 0, 0},
        {IDC_KEEPYEARLY, K::CountEdit, "", C::GroupBox1, 452, 330, 36, 21},
        {IDC_KEEPYEARLYUNIT, K::Label, "年", C::GroupBox1, 492, 335, 0, 0},
        {IDC_SHARECHECKBOX, K::CheckBox, "未改动的文件与上一个备份共享（节省空间）", C::GroupBox1,
         8, 354, 0, 0},
        {IDC_GUARDCHECKBOX, K::CheckBox, "异常变化保护", C::GroupBox1, 330, 354, 0, 0},
        {IDC_BUTTON6, K::Button, "保存配置信息", C::GroupBox1, 8, 376, 113, 33},
        {IDC_BUTTON8, K::Button, "启动备份计划", C::GroupBox1, 120, 376, 113, 33},
        {IDC_BUTTON9, K::Button, "终止备份计划", C::GroupBox1, 232, 376, 113, 33},
        {IDC_BUTTON10, K::Button, "手动执行备份", C::GroupBox1, 344, 376, 113, 33},
        {IDC_BUTTON7, K::Button, "查看操作日志", C::GroupBox1, 453, 376, 113, 33},
        // Under the commands: the exclusion rules with their presets and preview, left of
        // 恢复文件… (a sixth command under the fifth, so the five stay where they were), and
        // the options of the timetable under them.
        {IDC_EXCLUDELABEL, K::Label, "排除规则：", C::GroupBox1, 3, 421, 0, 0},
        {IDC_EXCLUDERULES, K::Edit, "", C::GroupBox1, 70, 418, 250, 21},
        {IDC_EXCLUDEPRESETS, K::Button, "常用规则", C::GroupBox1, 324, 417, 68, 23},
        {IDC_EXCLUDEFOLDER, K::Button, "排除文件夹…", C::GroupBox1, 324, 417, 84, 23},
        {IDC_EXCLUDEPREVIEW, K::Button, "预览", C::GroupBox1, 396, 417, 48, 23},
        {IDC_BUTTONRESTORE, K::Button, "恢复文件…", C::GroupBox1, 453, 418, 113, 33},
        {IDC_CHECKBOXSTARTATLAUNCH, K::CheckBox, "启动时执行备份计划", C::GroupBox1, 8, 446, 0, 0},
        {IDC_CHECKBOXCATCHUP, K::CheckBox, "补做错过的备份", C::GroupBox1, 160, 446, 0, 0},
        {IDC_CHECKBOXSYSTEMTASK, K::CheckBox, "关闭窗口后也按计划备份", C::GroupBox1, 290, 446, 0,
         0},
        {IDC_HELPLABEL1 + 0, K::HelpText, "操作步骤：", C::GroupBox1, 576, 40, 0, 0},
        {IDC_HELPLABEL1 + 1, K::HelpText, "1、保存配置信息；", C::GroupBox1, 576, 56, 0, 0},
        {IDC_HELPLABEL1 + 2, K::HelpText, "2、启动备份计划；", C::GroupBox1, 576, 72, 0, 0},
        {IDC_HELPLABEL1 + 3, K::HelpText, "3、如有需要在保存配置信息\n后手动备份。", C::GroupBox1,
         576, 88, 0, 0},
        {IDC_HELPLABEL1 + 4, K::HelpText, "使用说明：", C::GroupBox1, 576, 128, 0, 0},
        {IDC_HELPLABEL1 + 5, K::HelpText, "1、文件备份数需大于等于1；", C::GroupBox1, 576, 144, 0,
         0},
        {IDC_HELPLABEL1 + 6, K::HelpText, "2、请自行确保备份文件所需\n空间；", C::GroupBox1, 576,
         161, 0, 0},
        {IDC_HELPLABEL1 + 7, K::HelpText, "3、支持网络备份；", C::GroupBox1, 576, 190, 0, 0},
        {IDC_HELPLABEL1 + 8, K::HelpText,
         "4、每天最多保留一个备份，\n格式为\"源文件夹名_年月日\"；", C::GroupBox1, 576, 208, 0, 0},
        {IDC_HELPLABEL1 + 9, K::HelpText, "5、支持文件、文件夹备份；", C::GroupBox1, 576, 238, 0,
         0},
        {IDC_HELPLABEL1 + 10, K::HelpText,
         "6、将该执行文件放置不同目\n录下执行，可同时运行以完\n成 不同备份任务。", C::GroupBox1,
         576, 256, 0, 0},
        // The job's health, under the help text.
        {IDC_STATUSAREA, K::StatusArea, "", C::GroupBox1, 576, 312, 200, 118},
        // Under it, shown only while the guard holds pruning.
        {IDC_BUTTONCONFIRMCHANGES, K::Button, "确认变化", C::GroupBox1, 576, 436, 96, 25},
    };
    return kControls;
}

const RECT& MainLayout::rectOf(int id) const {
    const auto found = std::find_if(controls.begin(), controls.end(),
                                    [id](const PlacedControl& c) { return c.id == id; });
    if (found == controls.end()) {
        throw std::out_of_range("no control with this id");
    }
    return found->rect;
}

SIZE measureText(HDC dc, HFONT font, const char* utf8) {
    const std::wstring text = toWide(utf8);
    SelectedFont selected(dc, font);
    RECT r{0, 0, 0, 0};
    if (text.empty()) {
        TEXTMETRICW metrics{};
        GetTextMetricsW(dc, &metrics);
        return {0, metrics.tmHeight};
    }
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, DT_CALCRECT | DT_NOPREFIX);
    return {r.right - r.left, r.bottom - r.top};
}

RECT workAreaOf(HWND window) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor);
    return monitor.rcWork;
}

void centreWindow(HWND window, const RECT& over) {
    RECT r{};
    GetWindowRect(window, &r);
    SetWindowPos(window, nullptr, (over.left + over.right - (r.right - r.left)) / 2,
                 (over.top + over.bottom - (r.bottom - r.top)) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void fitListColumns(HWND list, std::span<const wchar_t* const> headings) {
    for (int column = 0; column < static_cast<int>(headings.size()); ++column) {
        ListView_SetColumnWidth(list, column, LVSCW_AUTOSIZE);
        const int heading =
            ListView_GetStringWidth(list, headings[static_cast<std::size_t>(column)]) +
            scaled(16, GetDpiForWindow(list));
        if (ListView_GetColumnWidth(list, column) < heading) {
            ListView_SetColumnWidth(list, column, heading);
        }
    }
}

MainLayout layoutMainWindow(HDC dc, const Fonts& fonts, UINT dpi, int statusBarHeight) {
    const auto px = [dpi](int length) { return scaled(length, dpi); };
    MainLayout layout;
    const std::span<const ControlPlan> plans = mainControls();
    for (const ControlPlan& plan : plans) {
        const POINT origin = originOf(plan.in);
        RECT r{px(origin.x + plan.left), px(origin.y + plan.top), 0, 0};
        r.right = r.left + px(plan.width);
        r.bottom = r.top + px(plan.height);
        const SIZE text = measureText(dc, fontOf(fonts, plan.kind), plan.text);
        switch (plan.kind) {
            case K::Label:
            case K::Heading:
            case K::HelpText:
                r.right = std::max(r.right, r.left + text.cx);
                r.bottom = std::max(r.bottom, r.top + text.cy);
                break;
            case K::CheckBox: {
                const int box = GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi);
                r.right = r.left + box + px(kLabelGap + 4) + text.cx;
                r.bottom = r.top + std::max<LONG>(box, text.cy) + px(2);
                break;
            }
            case K::Button:
                r.right = std::max(r.right, r.left + text.cx + px(kButtonPadding));
                r.bottom = std::max(r.bottom, r.top + text.cy + px(8));
                break;
            case K::ReadOnlyEdit:
            case K::Edit:
            case K::NumberEdit:
            case K::CountEdit:
            case K::TimePicker:
                r.bottom = std::max(r.bottom, r.top + text.cy + px(kEditBorders));
                break;
            case K::GroupBox:
            case K::StatusArea:
                break;
        }
        layout.controls.push_back({plan.id, r});
    }

    const auto rectOf = [&layout](int id) -> RECT& {
        return std::find_if(layout.controls.begin(), layout.controls.end(),
                            [id](const PlacedControl& c) { return c.id == id; })
            ->rect;
    };
    for (const Following& row : kRows) {
        const RECT& before = rectOf(row.before);
        RECT& after = rectOf(row.after);
        const int left = before.right + px(row.gap);
        if (after.left >= left) {
            continue;
        }
        if (row.fit == Fit::Move) {
            OffsetRect(&after, left - after.left, 0);
        } else {
            const int width = after.right - after.left;
            after.left = left;
            after.right = std::max<LONG>(after.right, left + width / 2);
        }
    }
    // The exclusion row ends before 恢复文件…: its three commands as wide as their captions,
    // right to left, and the field gives up what they need.
    int right = rectOf(IDC_BUTTONRESTORE).left - px(kButtonGap * 3);
    for (const int id : {IDC_EXCLUDEPREVIEW, IDC_EXCLUDEFOLDER, IDC_EXCLUDEPRESETS}) {
        RECT& button = rectOf(id);
        OffsetRect(&button, right - button.right, 0);
        right = button.left - px(kLabelGap);
    }
    rectOf(IDC_EXCLUDERULES).right = right;
    // The options' row under the exclusion row, however tall a font makes it.
    int rowBottom = 0;
    for (const int id : {IDC_EXCLUDELABEL, IDC_EXCLUDERULES, IDC_EXCLUDEPRESETS, IDC_EXCLUDEFOLDER,
                         IDC_EXCLUDEPREVIEW}) {
        rowBottom = std::max<int>(rowBottom, rectOf(id).bottom);
    }
    for (const int id : {IDC_CHECKBOXSTARTATLAUNCH, IDC_CHECKBOXCATCHUP, IDC_CHECKBOXSYSTEMTASK}) {
        RECT& box = rectOf(id);
        if (box.top < rowBottom + px(kLabelGap)) {
            OffsetRect(&box, 0, rowBottom + px(kLabelGap) - box.top);
        }
    }
    for (std::size_t i = 0; i + 1 < std::size(kCommandRow); ++i) {
        RECT& button = rectOf(kCommandRow[i]);
        button.right =
            std::min<LONG>(button.right, rectOf(kCommandRow[i + 1]).left - px(kButtonGap));
    }
    // Help line groups flow down where a taller font would make them meet.
    for (int i = 1; i < 11; ++i) {
        const RECT& above = rectOf(IDC_HELPLABEL1 + i - 1);
        RECT& line = rectOf(IDC_HELPLABEL1 + i);
        if (line.top < above.bottom) {
            OffsetRect(&line, 0, above.bottom - line.top);
        }
    }
    RECT& area = rectOf(IDC_STATUSAREA);
    const int areaTop = std::max(area.top, rectOf(IDC_HELPLABEL1 + 10).bottom + px(8));
    OffsetRect(&area, 0, areaTop - area.top);
    RECT& confirm = rectOf(IDC_BUTTONCONFIRMCHANGES);
    if (confirm.top < area.bottom + px(6)) {
        OffsetRect(&confirm, 0, area.bottom + px(6) - confirm.top);
    }

    // The group boxes hold what is in them, and the window holds everything.
    RECT& box2 = rectOf(IDC_GROUPBOX2);
    RECT& box1 = rectOf(IDC_GROUPBOX1);
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const RECT& r = layout.controls[i].rect;
        if (plans[i].in == C::GroupBox2) {
            box2.right = std::max(box2.right, r.right + px(8));
            box2.bottom = std::max(box2.bottom, r.bottom + px(8));
        }
    }
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const RECT& r = layout.controls[i].rect;
        if (plans[i].in != C::Client) {
            box1.right = std::max(box1.right, r.right + px(4));
            box1.bottom = std::max(box1.bottom, r.bottom + px(4));
        }
    }
    layout.client = {std::max<LONG>(px(kClient.cx), box1.right + px(1)),
                     std::max<LONG>(px(kClient.cy), box1.bottom + statusBarHeight)};

    layout.statusParts[0] = px(kStatusPanels[0]);
    layout.statusParts[1] = layout.statusParts[0] + px(kStatusPanels[1]);
    const int barTop = layout.client.cy - statusBarHeight;
    const SIZE cancel = measureText(dc, fonts.ui.get(), "取消");
    layout.cancel = {layout.client.cx - px(24) - cancel.cx - px(kButtonPadding), barTop + px(1),
                     layout.client.cx - px(24), layout.client.cy - px(1)};
    layout.progress = {layout.statusParts[1] + px(4), barTop + px(3), layout.cancel.left - px(4),
                       layout.client.cy - px(3)};
    return layout;
}

}  // namespace vantrel
