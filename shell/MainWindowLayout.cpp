#include "shell/MainWindowLayout.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

#include <QCheckBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimeEdit>
#include <QVBoxLayout>

#include "engine/Settings.h"
#include "shell/AppIcon.h"
#include "shell/QtText.h"

namespace vantrel {

namespace {

// `widget`, remembered as the one that shows `setting`.
template <typename Widget>
Widget* showing(MainWindowWidgets& w, Widget* widget, Setting setting) {
    w.settingFields.emplace_back(widget, setting);
    return widget;
}

// The group box's inner height, the right-hand column, and the row of options under the
// command buttons.
constexpr int kBoxHeight = 473;
constexpr int kLeftColumnWidth = 566;
constexpr int kHelpLeft = 576;
constexpr int kGap = 2;
constexpr int kOptionsTop = 418;

QLabel* placeLabel(QWidget* parent, const char* name, const QString& text, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->move(left, top);
    label->adjustSize();
    return label;
}

template <class W>
W* placed(W* widget, const char* name, int left, int top, int width, int height) {
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(left, top, width, height);
    return widget;
}

// Places widgets left to right at their natural size from `top`, starting a new row where
// one would pass `width`.
void placeInRows(std::initializer_list<QWidget*> widgets, int top, int width) {
    constexpr int kLeft = 8, kSpacing = 16;
    int left = kLeft;
    int rowHeight = 0;
    for (QWidget* widget : widgets) {
        const QSize size = widget->sizeHint();
        if (left > kLeft && left + size.width() > width) {
            left = kLeft;
            top += rowHeight + kGap;
            rowHeight = 0;
        }
        widget->setGeometry(left, top, size.width(), size.height());
        left += size.width() + kSpacing;
        rowHeight = std::max(rowHeight, size.height());
    }
}

// The help text on the right, one label per line group, with the top of each group.
struct HelpLine {
    int top;
    const char* text;
};
const HelpLine kHelp[] = {
    {40, "操作步骤："},
    {56, "1、保存配置信息；"},
    {72, "2、启动备份计划；"},
    {88, "3、如有需要在保存配置信息\n后手动备份。"},
    {128, "使用说明："},
    {144, "1、文件备份数需大于等于1；"},
    {161, "2、请自行确保备份文件所需\n空间；"},
    {190, "3、支持网络备份；"},
    {208, "4、每天最多保留一个备份，\n格式为\"源文件夹名_年月日\"；"},
    {238, "5、支持文件、文件夹备份；"},
    {256, "6、将该执行文件放置不同目\n录下执行，可同时运行以完\n成 不同备份任务。"},
};

// Object names of the day boxes, Monday first; Wednesday's box is CheckBox8.
const char* const kDayBoxNames[7] = {"CheckBox1", "CheckBox2", "CheckBox8", "CheckBox4",
                                     "CheckBox5", "CheckBox6", "CheckBox7"};

QCheckBox* checkBox(QWidget* parent, const char* name, const QString& caption) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    return box;
}

}  // namespace

MainWindowWidgets buildMainWindow(QMainWindow& window) {
    MainWindowWidgets w;
    window.setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint);
    window.setWindowIcon(appIcon());
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(11);
    window.setFont(font);

    auto* central = new QWidget(&window);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(1, 0, 1, 0);
    w.groupBox1 = new QGroupBox(central);
    w.groupBox1->setObjectName(QStringLiteral("GroupBox1"));
    layout->addWidget(w.groupBox1);
    window.setCentralWidget(central);
    QWidget* box = w.groupBox1;

    auto* heading = placed(new QLabel(QStringLiteral("Vantrel"), box), "Heading", 264, 31, 168, 22);
    QFont headingFont;
    headingFont.setFamilies({QStringLiteral("华文行楷"), QStringLiteral("STXingkai"),
                             QStringLiteral("KaiTi"), QStringLiteral("AR PL UKai CN"),
                             QStringLiteral("Noto Serif CJK SC")});
    headingFont.setPixelSize(21);
    heading->setFont(headingFont);
    heading->setStyleSheet(QStringLiteral("color: red;"));
    heading->resize(heading->width(), std::max(heading->height(), heading->sizeHint().height()));

    placeLabel(box, "SourceLabel", QStringLiteral("备份文件/文件夹源地址："), 3, 92);
    w.edit1 = showing(w, placed(new QLineEdit(box), "Edit1", 149, 88, 348, 21), Setting::Source);
    w.edit1->setReadOnly(true);
    w.button4 = placed(new QPushButton(QStringLiteral("..."), box), "Button4", 502, 85, 62, 25);

    placeLabel(box, "TargetLabel", QStringLiteral("备份文件/文件夹目的地址："), 3, 123);
    w.edit2 = showing(w, placed(new QLineEdit(box), "Edit2", 149, 117, 348, 21), Setting::Target);
    w.edit2->setReadOnly(true);
    w.button5 = placed(new QPushButton(QStringLiteral("..."), box), "Button5", 502, 116, 62, 25);

    w.groupBox2 =
        placed(new QGroupBox(QStringLiteral("执行周期"), box), "GroupBox2", 16, 168, 553, 153);
    const int columns[4] = {8, 144, 288, 424};
    for (int day = 0; day < 7; ++day) {
        QCheckBox* check = checkBox(w.groupBox2, kDayBoxNames[day], toQString(kDayCaptions[day]));
        check->move(columns[day < 4 ? day : day - 4], day < 4 ? 24 : 56);
        check->adjustSize();
        w.days[day] = check;
    }
    placeLabel(w.groupBox2, "TimeLabel", QStringLiteral("时刻"), 8, 112);
    w.dateTimePicker1 = placed(new QTimeEdit(w.groupBox2), "DateTimePicker1", 64, 104, 97, 31);
    w.dateTimePicker1->setDisplayFormat(QStringLiteral("HH:mm"));
    QFont pickerFont = font;
    pickerFont.setPixelSize(19);
    w.dateTimePicker1->setFont(pickerFont);

    placeLabel(box, "KeepLabel", QStringLiteral("保留最近的文件备份数："), 3, 333);
    w.keepCount =
        showing(w, placed(new QLineEdit(box), "DBNumberEditEh1", 160, 330, 81, 21), Setting::Keep);
    w.keepCount->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QLabel* keepUnit = placeLabel(box, "KeepUnitLabel", QStringLiteral("个"), 248, 335);

    // The monthly and yearly counts (按月保留, 按年保留) beside the keep count, each label and
    // unit as wide as its text, left of the restore command.
    int left = keepUnit->geometry().right() + 14;
    const struct {
        const char* caption;
        const char* unit;
        const char* labelName;
        const char* editName;
        const char* unitName;
        QLineEdit** edit;
        Setting setting;
    } periods[] = {{"按月", "个月", "KeepMonthlyLabel", "KeepMonthlyEdit", "KeepMonthlyUnit",
                    &w.keepMonthly, Setting::KeepMonthly},
                   {"按年", "年", "KeepYearlyLabel", "KeepYearlyEdit", "KeepYearlyUnit",
                    &w.keepYearly, Setting::KeepYearly}};
    for (const auto& period : periods) {
        QLabel* label = placeLabel(box, period.labelName, toQString(period.caption), left, 333);
        *period.edit = showing(
            w,
            placed(new QLineEdit(box), period.editName, label->geometry().right() + 4, 330, 28, 21),
            period.setting);
        (*period.edit)->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        QLabel* unit = placeLabel(box, period.unitName, toQString(period.unit),
                                  (*period.edit)->geometry().right() + 4, 335);
        left = unit->geometry().right() + 8;
    }
    w.keepMonthly->setToolTip(
        QStringLiteral("按月保留：另保留最近几个有备份的月份中各自最早的完整备份"));
    w.keepYearly->setToolTip(
        QStringLiteral("按年保留：另保留最近几个有备份的年份中各自最早的完整备份"));

    // The exclusion rules under them, with the presets menu and the preview.
    placeLabel(box, "ExcludeLabel", QStringLiteral("排除规则："), 3, 356);
    w.excludeRules = showing(w, placed(new QLineEdit(box), "ExcludeRulesEdit", 70, 353, 180, 21),
                             Setting::ExcludeRules);
    w.excludeRules->setToolTip(
        QStringLiteral("以“|”分隔；*、? 在名称内匹配，** 匹配任意层文件夹；含“/”的从源文件夹算起，"
                       "以“/”结尾的只匹配文件夹"));
    w.excludePresets = placed(new QPushButton(QStringLiteral("常用规则"), box), "ExcludePresets",
                              254, 353, 64, 21);
    w.excludeFolder = placed(new QPushButton(QStringLiteral("排除文件夹…"), box), "ExcludeFolder",
                             322, 353, 82, 21);
    w.excludePreview =
        placed(new QPushButton(QStringLiteral("预览"), box), "ExcludePreview", 408, 353, 44, 21);
    // Getting files back: a sixth command, in the room right of the keep count and above the
    // five, so theirs stay where they were.
    w.restore = placed(new QPushButton(QStringLiteral("恢复文件…"), box), "ButtonRestore",
                       8 + 112 * 4, 327, 110, 33);

    // The five commands in one row, 112 pixels apart and 110 wide, so no two touch.
    const std::pair<const char*, const char*> commands[] = {{"Button6", "保存配置信息"},
                                                            {"Button8", "启动备份计划"},
                                                            {"Button9", "终止备份计划"},
                                                            {"Button10", "手动执行备份"},
                                                            {"Button7", "查看操作日志"}};
    QPushButton** buttons[] = {&w.button6, &w.button8, &w.button9, &w.button10, &w.button7};
    for (int i = 0; i < 5; ++i) {
        *buttons[i] = placed(new QPushButton(toQString(commands[i].second), box), commands[i].first,
                             8 + 112 * i, 376, 110, 33);
    }

    // The options, in a row of their own under the command buttons, each as wide as its text.
    w.startAtLaunch =
        showing(w, checkBox(box, "CheckBoxStartAtLaunch", QStringLiteral("启动时执行备份计划")),
                Setting::StartAtLaunch);
    w.catchUp = showing(w, checkBox(box, "CheckBoxCatchUp", QStringLiteral("补做错过的备份")),
                        Setting::CatchUp);
    w.systemTask =
        showing(w, checkBox(box, "CheckBoxSystemTask", QStringLiteral("关闭窗口后也按计划备份")),
                Setting::SystemTask);
    w.systemTask->setToolTip(
        QStringLiteral("保存时登记此任务的 systemd 用户定时器，没有窗口时也按计划备份。"));
    w.share = showing(
        w,
        checkBox(box, "ShareCheckBox", QStringLiteral("未改动的文件与上一个备份共享（节省空间）")),
        Setting::Share);
    w.share->setToolTip(
        QStringLiteral("共享的文件在磁盘上只有一份：在一个备份中改动它，其他备份也随之改动。"
                       "备份仅供查看和恢复，请勿在其中编辑。"));
    w.guard =
        showing(w, checkBox(box, "GuardCheckBox", QStringLiteral("异常变化保护")), Setting::Guard);
    w.guard->setToolTip(
        QStringLiteral("一次备份发现上一个备份中至少一半（且至少 20 个）文件被修改或删除时，"
                       "暂不清理旧备份，直到您确认这些变化。"));
    placeInRows({w.startAtLaunch, w.catchUp, w.systemTask, w.share, w.guard}, kOptionsTop,
                kLeftColumnWidth);

    // The help text on the right, each group at its top; where a taller font needs more
    // room, a group and all after it move down as far as it needs. The job's health follows.
    int helpBottom = 0;
    int shift = 0;
    int helpIndex = 0;
    for (const HelpLine& line : kHelp) {
        shift = std::max(shift, helpBottom + kGap - line.top);
        QLabel* label = placeLabel(box, "", toQString(line.text), kHelpLeft, line.top + shift);
        label->setObjectName(QStringLiteral("HelpLabel%1").arg(++helpIndex));
        helpBottom = label->geometry().bottom();
    }
    const int statusTop = std::max(312, helpBottom + 3 * kGap);
    // The confirm command at the foot of the column, shown only while pruning is held.
    w.confirmChanges = new QPushButton(QStringLiteral("确认变化"), box);
    w.confirmChanges->setObjectName(QStringLiteral("ButtonConfirmChanges"));
    const QSize confirmSize = w.confirmChanges->sizeHint();
    w.confirmChanges->setGeometry(kHelpLeft, kBoxHeight - confirmSize.height(),
                                  std::max(confirmSize.width(), 96), confirmSize.height());
    w.confirmChanges->hide();
    w.statusArea = placed(new QLabel(box), "StatusArea", kHelpLeft, statusTop, 200,
                          kBoxHeight - confirmSize.height() - kGap - statusTop);
    w.statusArea->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    w.statusArea->setWordWrap(true);
    w.statusArea->setTextFormat(Qt::RichText);

    QStatusBar* bar = window.statusBar();
    bar->setObjectName(QStringLiteral("StatusBar1"));
    w.panel0 = new QLabel(bar);
    w.panel0->setObjectName(QStringLiteral("StatusPanel0"));
    w.panel0->setFixedWidth(200);
    w.panel1 = new QLabel(bar);
    w.panel1->setObjectName(QStringLiteral("StatusPanel1"));
    w.panel1->setFixedWidth(300);
    bar->addWidget(w.panel0);
    bar->addWidget(w.panel1);
    // Shown while a copy runs: its share done and time left, and the way to stop it.
    w.progressBar = new QProgressBar(bar);
    w.progressBar->setObjectName(QStringLiteral("ProgressBar"));
    w.progressBar->setMinimumWidth(100);
    w.progressBar->setRange(0, 1000);
    w.progressBar->hide();
    w.cancelButton = new QPushButton(QStringLiteral("取消"), bar);
    w.cancelButton->setObjectName(QStringLiteral("CancelButton"));
    // As high as its text needs, and the bar as high as 取消 under the 3 pixels the status
    // bar keeps above its widgets: a lower bar cut 取消 off at the window's edge.
    const int rowHeight = std::max(17, w.cancelButton->fontMetrics().height() + 4);
    w.cancelButton->setFixedHeight(rowHeight);
    w.progressBar->setFixedHeight(rowHeight);
    w.cancelButton->hide();
    bar->addWidget(w.progressBar, 1);
    bar->addWidget(w.cancelButton);
    const int barHeight = 3 + rowHeight;
    bar->setFixedHeight(barHeight);

    // Client area of the 800 x 531 window: the group box (784 x 473) over the status bar.
    window.resize(786, kBoxHeight + barHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        window.move(screen->availableGeometry().center() - window.rect().center());
    }
    return w;
}

}  // namespace vantrel
