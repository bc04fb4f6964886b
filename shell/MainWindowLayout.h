#pragma once

#include <array>
#include <utility>
#include <vector>

#include "engine/Settings.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QProgressBar;
class QPushButton;
class QTimeEdit;
class QWidget;

namespace vantrel {

// The main window's widgets, named as the program's other parts and its tests know them.
struct MainWindowWidgets {
    QGroupBox* groupBox1 = nullptr;
    QLineEdit* edit1 = nullptr;        // source
    QPushButton* button4 = nullptr;    // source "..."
    QLineEdit* edit2 = nullptr;        // target
    QPushButton* button5 = nullptr;    // target "..."
    QGroupBox* groupBox2 = nullptr;    // 执行周期
    std::array<QCheckBox*, 7> days{};  // Monday first; Wednesday's is CheckBox8
    QTimeEdit* dateTimePicker1 = nullptr;
    QLineEdit* keepCount = nullptr;         // DBNumberEditEh1
    QLineEdit* keepMonthly = nullptr;       // 按月保留
    QLineEdit* keepYearly = nullptr;        // 按年保留
    QLineEdit* excludeRules = nullptr;      // 排除规则
    QPushButton* excludePresets = nullptr;  // its presets menu
    QPushButton* excludeFolder = nullptr;   // 排除文件夹…
    QPushButton* excludePreview = nullptr;  // 预览
    QCheckBox* startAtLaunch = nullptr;
    QCheckBox* catchUp = nullptr;
    QCheckBox* systemTask = nullptr;  // 关闭窗口后也按计划备份
    QCheckBox* share = nullptr;
    QCheckBox* guard = nullptr;             // 异常变化保护
    QPushButton* button6 = nullptr;         // 保存配置信息
    QPushButton* button8 = nullptr;         // 启动备份计划
    QPushButton* button9 = nullptr;         // 终止备份计划
    QPushButton* button10 = nullptr;        // 手动执行备份
    QPushButton* button7 = nullptr;         // 查看操作日志
    QPushButton* restore = nullptr;         // 恢复文件…, beside the keep count
    QLabel* statusArea = nullptr;           // the job's health
    QPushButton* confirmChanges = nullptr;  // 确认变化, under the health while pruning is held
    QLabel* panel0 = nullptr;
    QLabel* panel1 = nullptr;
    QProgressBar* progressBar = nullptr;
    QPushButton* cancelButton = nullptr;
    // Each widget that shows a setting, with its setting: a tick box its flag, a line of text
    // its text. The day boxes and the time picker show theirs as a whole.
    std::vector<std::pair<QWidget*, Setting>> settingFields;
};

// Builds the main window's widgets at their places (800 x 531, in pixels at 96 DPI), each
// row as tall and wide as its text needs, and sizes and centres the window.
MainWindowWidgets buildMainWindow(QMainWindow& window);

}  // namespace vantrel
