#pragma once

// The ids of the Windows window's controls and menu items, named after the controls' fixed
// names (IDC_BUTTON10 is Button10), and the window classes and messages that UI automation
// (and the UI test program) finds them by. Nothing here needs <windows.h>.

namespace vantrel {

// The main window's window class; the log viewer's; the restore window's. Named after their
// forms.
inline constexpr wchar_t kMainWindowClass[] = L"TMainForm";
inline constexpr wchar_t kLogWindowClass[] = L"TLogShowForm";
inline constexpr wchar_t kRestoreWindowClass[] = L"TRestoreForm";
// The confirmation dialog's caption.
inline constexpr wchar_t kConfirmCaption[] = L"Confirm";

// Ids from 1000 up, clear of the dialog ids IDOK to IDCONTINUE.
enum ControlId : int {
    IDC_GROUPBOX1 = 1000,
    IDC_HEADING,
    IDC_SOURCELABEL,
    IDC_EDIT1,
    IDC_BUTTON4,
    IDC_TARGETLABEL,
    IDC_EDIT2,
    IDC_BUTTON5,
    IDC_GROUPBOX2,
    IDC_CHECKBOX1,  // Monday
    IDC_CHECKBOX2,  // Tuesday
    IDC_CHECKBOX8,  // Wednesday
    IDC_CHECKBOX4,  // Thursday
    IDC_CHECKBOX5,  // Friday
    IDC_CHECKBOX6,  // Saturday
    IDC_CHECKBOX7,  // Sunday
    IDC_TIMELABEL,
    IDC_DATETIMEPICKER1,
    IDC_KEEPLABEL,
    IDC_DBNUMBEREDITEH1,
    IDC_KEEPUNITLABEL,
    IDC_CHECKBOXSTARTATLAUNCH,
    IDC_CHECKBOXCATCHUP,
    IDC_SHARECHECKBOX,
    IDC_BUTTON6,     // 保存配置信息
    IDC_BUTTON8,     // 启动备份计划
    IDC_BUTTON9,     // 终止备份计划
    IDC_BUTTON10,    // 手动执行备份
    IDC_BUTTON7,     // 查看操作日志
    IDC_HELPLABEL1,  // the help text's line groups, IDC_HELPLABEL1 to IDC_HELPLABEL11
    IDC_STATUSAREA = IDC_HELPLABEL1 + 11,
    IDC_STATUSBAR1,
    IDC_PROGRESSBAR,
    IDC_CANCELBUTTON,
    IDC_BUTTONRESTORE,         // 恢复文件…
    IDC_GUARDCHECKBOX,         // 异常变化保护
    IDC_BUTTONCONFIRMCHANGES,  // 确认变化, under the health while pruning is held
    IDC_KEEPMONTHLYLABEL,
    IDC_KEEPMONTHLY,  // 按月保留
    IDC_KEEPYEARLYLABEL,
    IDC_KEEPYEARLY,  // 按年保留
    IDC_EXCLUDELABEL,
    IDC_EXCLUDERULES,        // 排除规则
    IDC_EXCLUDEPRESETS,      // 常用规则: the menu of presets
    IDC_EXCLUDEPREVIEW,      // 预览
    IDC_KEEPMONTHLYUNIT,     // 个月, after 按月保留's field
    IDC_KEEPYEARLYUNIT,      // 年, after 按年保留's field
    IDC_CHECKBOXSYSTEMTASK,  // 关闭窗口后也按计划备份
    IDC_EXCLUDEFOLDER,       // 排除文件夹…

    // The items of the presets menu, in the order of exclusionPresets() (app/), at most
    // kMaxPresets of them.
    IDM_EXCLUDEPRESET1 = 1090,
    // The items of the tray icon's menu: IDM_TRAY1 plus a JobPresenter::TrayCommand.
    IDM_TRAY1 = 1400,

    // The log viewer: its text and the two items of its context menu PopupMenu1; its tabs and
    // the run history.
    IDC_MEMO1 = 1100,
    IDM_N1,  // 刷新(&R)
    IDM_N2,  // 清除(&C)
    IDC_LOGTABS,
    IDC_RUNHISTORY,

    // The confirmation dialog's question; its buttons are IDYES and IDNO.
    IDC_QUESTION = 1200,
    // The list box's text and its list (entries not copied); its button is IDOK.
    IDC_LISTCAPTION,
    IDC_LISTTEXT,

    // The restore window 恢复文件.
    IDC_COPYLIST = 1300,  // the job's copies
    IDC_COPIESLABEL,
    IDC_UPBUTTON,     // 上一级
    IDC_FOLDERLABEL,  // the folder shown
    IDC_NAMEFILTER,
    IDC_SHOWDELETED,  // 显示已删除的文件
    IDC_ENTRYLIST,    // the folder's entries
    IDC_VERSIONSLABEL,
    IDC_VERSIONLIST,      // the versions of the chosen entry
    IDC_RESTOREORIGINAL,  // 恢复到原位置
    IDC_RESTORETO,        // 恢复到…
    IDC_OPENFOLDER,       // 打开备份文件夹
    IDC_RESTOREPROGRESS,
    IDC_CANCELRESTORE,  // 取消
    IDC_RESTORESTATUS,
    IDC_PINCOPY,  // 永久保留 / 取消永久保留, for the chosen copy
};

// The day boxes in the order of the week, Monday first.
inline constexpr int kDayBoxIds[7] = {IDC_CHECKBOX1, IDC_CHECKBOX2, IDC_CHECKBOX8, IDC_CHECKBOX4,
                                      IDC_CHECKBOX5, IDC_CHECKBOX6, IDC_CHECKBOX7};

inline constexpr int kMaxPresets = 10;

}  // namespace vantrel
